#ifndef VEXLORPDEVIEW_H
#define VEXLORPDEVIEW_H

#include <QPointer>
#include <QWidget>

class VexlorPDE;

// The root view of the panel's interface file "VexlorPDE". The form wires each
// control to the slot of its action here; the slot hands the sending control to
// the panel that owns the view.
class VexlorPDEView : public QWidget
{
    Q_OBJECT

public:
    // Loads the named interface with the panel as owner; null for an unknown name.
    static QWidget *loadInterface(const QString &name, VexlorPDE *owner);

    explicit VexlorPDEView(VexlorPDE *owner, QWidget *parent = nullptr);
    ~VexlorPDEView() override;

public slots:
    void requestNewJobType();
    void requestNewCenterEngraving();
    void requestNewEngraveDir();
    void requestNewDithering();
    void requestNewVSorting();
    void requestNewDirectPrint();
    void requestNewAutoFocus();
    void requestNewVectorGrid();
    void requestNewVSpeedComp();
    void requestNewVPowerComp();
    void requestNewRSpeed();
    void requestNewRPower();
    void requestNewVSpeed();
    void requestNewVPower();
    void requestNewVFreq();
    void requestNewResolution();
    void requestNewMaterialThickness();

private:
    template <typename Control> Control *m_sender() const;

    QPointer<VexlorPDE> m_owner;
};

#endif // VEXLORPDEVIEW_H
