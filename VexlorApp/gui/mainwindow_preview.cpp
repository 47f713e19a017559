// The preview of the main window: rulers, zoom, the stroke-width rule that
// splits strokes into cut lines and engraved paths, and "Preview Final".
#include "mainwindow.h"
#include "previewtile.h"
#include "ui_mainwindow.h"
#include "vexlorlog.h"

#include <QDebug>
#include <QDoubleValidator>
#include <QGraphicsItemGroup>
#include <QGraphicsLineItem>
#include <QGraphicsPathItem>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QStyleOptionGraphicsItem>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

// Pixels a zoomed-out picture of the page may take: about what a large
// screen shows, whatever the size of the table or the resolution.
constexpr qint64 overviewPixels = qint64(16) << 20;

} // namespace

void MainWindow::addTiles(QGraphicsItemGroup *group, const Vexlor::SceneTile &tiles)
{
    // The preview tiles may be reduced: the items themselves give the detail
    // when the view is zoomed in beyond them. The dithered tiles are what is
    // engraved, bit for bit; a reduced grey overview of them serves the
    // zoomed-out views.
    const bool preview = group == m_previewGroup;
    qint64 pixels = 0;
    for (const auto &tile : tiles)
        pixels += qint64(tile.second.width()) * tile.second.height();
    int factor = 1;
    if (!preview && pixels > overviewPixels)
        factor = (int(std::ceil(std::sqrt(double(pixels) / double(overviewPixels)))) + 7) / 8 * 8;
    for (const auto &tile : tiles) {
        const QImage picture = tile.second.toImage();
        const QImage overview
            = factor > 1 && picture.depth() == 1 ? previewTile::greyOverview(picture, factor) : QImage();
        auto *item
            = new previewTile(tile.first, picture, overview, preview ? m_items : Vexlor::LaserItemList());
        item->setZValue(m_rulerGroup->zValue() - 1);
        group->addToGroup(item);
    }
}

void MainWindow::drawRulers(QPoint size, MainWindow::lengthUnit unit)
{
    drawRulers(static_cast<unsigned long long>(size.x()), static_cast<unsigned long long>(size.y()), unit);
}

void MainWindow::drawRulers(unsigned long long width, unsigned long long height, MainWindow::lengthUnit unit)
{
    renewGroup(m_rulerGroup, false);

    const double r = m_resolution;
    const QPen minorPen(Qt::black, r / 100, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
    const QPen majorPen(Qt::black, r / 50, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
    QPen edgePen(Qt::black, m_resolution / 100, Qt::DashLine);
    QFont labelFont;
    labelFont.setPixelSize(qMax(1, static_cast<int>(r * 0.25)));

    if (static_cast<int>(unit) > 3)
        return;

    const double tableWidth = static_cast<double>(width) * r;
    const double tableHeight = static_cast<double>(height) * r;
    for (int i = 0;; ++i) {
        const double x = i * r / 4;
        if (x >= tableWidth)
            break;
        const bool major = i % 4 == 0;
        const double length = major ? r / 2 : r / 4;
        auto *tick = new QGraphicsLineItem(x, 0, x, -length);
        tick->setPen(major ? majorPen : minorPen);
        m_rulerGroup->addToGroup(tick);
        if (major) {
            auto *label = new QGraphicsSimpleTextItem(QString::asprintf("%d", i / 4));
            label->setFont(labelFont);
            label->setPos(x, -length - r / 10);
            m_rulerGroup->addToGroup(label);
        }
    }
    for (int i = 0;; ++i) {
        const double y = i * r / 4;
        if (y >= tableHeight)
            break;
        const bool major = i % 4 == 0;
        const double length = major ? r / 2 : r / 4;
        auto *tick = new QGraphicsLineItem(0, y, -length, y);
        tick->setPen(major ? majorPen : minorPen);
        m_rulerGroup->addToGroup(tick);
        if (major) {
            auto *label = new QGraphicsSimpleTextItem(QString::asprintf("%d", i / 4));
            label->setFont(labelFont);
            label->setPos(-length - r / 10, y);
            label->setRotation(-90);
            m_rulerGroup->addToGroup(label);
        }
    }
    auto *topEdge = new QGraphicsLineItem(0, 0, tableWidth, 0);
    topEdge->setPen(edgePen);
    m_rulerGroup->addToGroup(topEdge);
    auto *leftEdge = new QGraphicsLineItem(0, 0, 0, tableHeight);
    leftEdge->setPen(edgePen);
    m_rulerGroup->addToGroup(leftEdge);

    m_scene->addItem(m_rulerGroup);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != ui->graphicsView->viewport() || event->type() != QEvent::Wheel || !m_zoomKey)
        return QMainWindow::eventFilter(watched, event);

    auto *wheel = static_cast<QWheelEvent *>(event);
    const double factor = wheel->angleDelta().y() > 0 ? 1.15 : 1.0 / 1.15;
    ui->graphicsView->scale(factor, factor);
    const double scale = ui->graphicsView->transform().m11();
    if (scale > 2.0)
        ui->graphicsView->setTransform(QTransform::fromScale(2.0, 2.0));
    else if (scale < m_fitZoom)
        ui->graphicsView->setTransform(QTransform::fromScale(m_fitZoom, m_fitZoom));
    ui->lineEdit->setText(QString::number(ui->graphicsView->transform().m11() * 100, 'f', 1));
    return true;
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Control) {
        m_zoomKey = true;
        ui->graphicsView->setDragMode(QGraphicsView::ScrollHandDrag);
    }
}

void MainWindow::keyReleaseEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Control) {
        m_zoomKey = false;
        ui->graphicsView->setDragMode(QGraphicsView::NoDrag);
    }
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    QRect area = ui->centralWidget->geometry();
    area.moveTopLeft(QPoint(0, 0));
    area.setBottom(area.bottom() - ui->statusBar->height());
    ui->mainSplitter->setGeometry(area);
    updateFitZoom();
}

void MainWindow::updateFitZoom()
{
    const QRectF sceneRect = m_scene->sceneRect();
    if (sceneRect.width() > 0 && sceneRect.height() > 0) {
        m_fitZoom = qMin(1.0,
            qMin(ui->graphicsView->width() / sceneRect.width(),
                ui->graphicsView->height() / sceneRect.height()));
    }
}

void MainWindow::on_lineEdit_editingFinished()
{
    const double scale = ui->lineEdit->text().toDouble() / 100;
    if (scale > 0)
        ui->graphicsView->setTransform(QTransform::fromScale(scale, scale));
}

void MainWindow::getWidthList(Vexlor::WidthList widthL)
{
    QList<double> widths = widthL;
    std::sort(widths.begin(), widths.end());
    widths.erase(std::unique(widths.begin(), widths.end()), widths.end());
    for (double &w : widths)
        w = w * 72 / m_resolution;

    m_largestStrokeWidth = widths.isEmpty() ? 0 : widths.last();
    m_smallestStrokeWidth = widths.isEmpty() ? 0 : widths.first();

    ui->widthTextBox->setValidator(decimalValidator(0, m_largestStrokeWidth + 1, 2, ui->widthTextBox));

    const int maximum = static_cast<int>(m_largestStrokeWidth * 100 + 100);
    const int value = static_cast<int>(m_smallestStrokeWidth * 100 + 1);
    ui->widthSlider->setMinimum(0);
    ui->widthSlider->setMaximum(maximum);
    ui->widthSlider->setValue(value);

    const QSignalBlocker dialBlocker(ui->widthDial);
    const QSignalBlocker textBlocker(ui->widthTextBox);
    ui->widthDial->setMaximum(maximum);
    ui->widthDial->setValue(value);
    const QString threshold = QString::number(m_smallestStrokeWidth + 0.01, 'f', 2);
    ui->widthTextBox->setText(threshold);
    ui->minStrokeWidth->setText(QStringLiteral("Min Stroke: ") + threshold);
}

void MainWindow::on_widthDial_valueChanged(int value)
{
    {
        const QSignalBlocker blocker(ui->widthTextBox);
        ui->widthTextBox->setText(QString::number(value / 100.0, 'f', 2));
    }
    if (m_jobStage == 6) {
        updateGfx();
        renderFinal();
    }
}

void MainWindow::on_widthTextBox_editingFinished()
{
    {
        const QSignalBlocker dialBlocker(ui->widthDial);
        const QSignalBlocker sliderBlocker(ui->widthSlider);
        QString text = ui->widthTextBox->text();
        text.remove(QStringLiteral(" px"));
        const int value = static_cast<int>(text.toDouble() * 100);
        ui->widthDial->setValue(value);
        ui->widthSlider->setValue(value);
    }
    if (m_jobStage == 6) {
        updateGfx();
        renderFinal();
    }
}

void MainWindow::on_widthSlider_sliderReleased()
{
    {
        const QSignalBlocker blocker(ui->widthTextBox);
        ui->widthTextBox->setText(QString::number(ui->widthSlider->value() / 100.0, 'f', 2));
    }
    if (m_jobStage == 6) {
        updateGfx();
        renderFinal();
    }
}

void MainWindow::updateGfx()
{
    ui->finalChkBx->setEnabled(false);
    ui->finalChkBx->setChecked(false);
    m_previewGroup->show();
    m_finalGroup->hide();
    m_vectorGroup->hide();

    renewGroup(m_vectorGroup, false);

    const QPen overlayPen(Qt::red, m_resolution / 100.0);
    const double threshold = ui->widthTextBox->text().toDouble() * m_resolution / 72.0;
    int overlayItems = 0;
    for (LaserOp::LaserOp &item : m_items) {
        if ((item.type != LaserOp::CutLine && item.type != LaserOp::EngravedPath)
            || item.pen.style() == Qt::NoPen)
            continue;
        const int previous = item.type;
        if (item.pen.widthF() > threshold) {
            item.type = LaserOp::EngravedPath;
        } else {
            item.type = LaserOp::CutLine;
            auto *outline = new QGraphicsPathItem(item.path);
            outline->setPen(overlayPen);
            m_vectorGroup->addToGroup(outline);
            ++overlayItems;
        }
        if (item.type != previous)
            m_finalPreviewNeeded = true;
    }
    qCDebug(lcWindow) << "Children in update:" << overlayItems;

    m_scene->addItem(m_vectorGroup);
    m_vectorGroup->setVisible(ui->finalChkBx->isChecked());
}

void MainWindow::on_finalChkBx_toggled(bool checked)
{
    if (!checked) {
        m_previewGroup->show();
        m_finalGroup->hide();
        m_vectorGroup->hide();
        return;
    }
    m_previewGroup->hide();
    m_finalGroup->show();
    m_vectorGroup->show();
    m_vectorGroup->setZValue(m_finalGroup->zValue() + 1);
    qCDebug(lcWindow) << "Children in chkbx" << m_vectorGroup->childItems().size();
}
