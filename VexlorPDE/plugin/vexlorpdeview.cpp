#include "vexlorpdeview.h"

#include "ui_vexlorpde.h"
#include "vexlorpde.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSlider>

QWidget *VexlorPDEView::loadInterface(const QString &name, VexlorPDE *owner)
{
    if (name != QLatin1String("VexlorPDE"))
        return nullptr;
    return new VexlorPDEView(owner);
}

VexlorPDEView::VexlorPDEView(VexlorPDE *owner, QWidget *parent)
    : QWidget(parent)
    , m_owner(owner)
{
    Ui::VexlorPDE ui;
    ui.setupUi(this);
}

VexlorPDEView::~VexlorPDEView() = default;

template <typename Control> Control *VexlorPDEView::m_sender() const
{
    return qobject_cast<Control *>(sender());
}

void VexlorPDEView::requestNewJobType()
{
    if (m_owner)
        m_owner->requestNewJobType(m_sender<QComboBox>());
}

void VexlorPDEView::requestNewCenterEngraving()
{
    if (m_owner)
        m_owner->requestNewCenterEngraving(m_sender<QComboBox>());
}

void VexlorPDEView::requestNewEngraveDir()
{
    if (m_owner)
        m_owner->requestNewEngraveDir(m_sender<QComboBox>());
}

void VexlorPDEView::requestNewDithering()
{
    if (m_owner)
        m_owner->requestNewDithering(m_sender<QComboBox>());
}

void VexlorPDEView::requestNewVSorting()
{
    if (m_owner)
        m_owner->requestNewVSorting(m_sender<QComboBox>());
}

void VexlorPDEView::requestNewDirectPrint()
{
    if (m_owner)
        m_owner->requestNewDirectPrint(m_sender<QCheckBox>());
}

void VexlorPDEView::requestNewAutoFocus()
{
    if (m_owner)
        m_owner->requestNewAutoFocus(m_sender<QCheckBox>());
}

void VexlorPDEView::requestNewVectorGrid()
{
    if (m_owner)
        m_owner->requestNewVectorGrid(m_sender<QCheckBox>());
}

void VexlorPDEView::requestNewVSpeedComp()
{
    if (m_owner)
        m_owner->requestNewVSpeedComp(m_sender<QCheckBox>());
}

void VexlorPDEView::requestNewVPowerComp()
{
    if (m_owner)
        m_owner->requestNewVPowerComp(m_sender<QCheckBox>());
}

void VexlorPDEView::requestNewRSpeed()
{
    if (m_owner)
        m_owner->requestNewRSpeed(m_sender<QSlider>());
}

void VexlorPDEView::requestNewRPower()
{
    if (m_owner)
        m_owner->requestNewRPower(m_sender<QSlider>());
}

void VexlorPDEView::requestNewVSpeed()
{
    if (m_owner)
        m_owner->requestNewVSpeed(m_sender<QSlider>());
}

void VexlorPDEView::requestNewVPower()
{
    if (m_owner)
        m_owner->requestNewVPower(m_sender<QSlider>());
}

void VexlorPDEView::requestNewVFreq()
{
    if (m_owner)
        m_owner->requestNewVFreq(m_sender<QSlider>());
}

void VexlorPDEView::requestNewResolution()
{
    if (m_owner)
        m_owner->requestNewResolution(m_sender<QSlider>());
}

void VexlorPDEView::requestNewMaterialThickness()
{
    if (m_owner)
        m_owner->requestNewMaterialThickness(m_sender<QLineEdit>());
}
