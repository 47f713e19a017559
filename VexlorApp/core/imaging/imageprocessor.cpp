#include "imageprocessor.h"

#include "ditherer.h"
#include "rasterpipeline.h"

#include <QImage>
#include <QMetaObject>

namespace {

inline int greyOf(int r, int g, int b)
{
    return (11 * r + 16 * g + 5 * b) >> 5;
}

// True for an opaque 32-bit picture whose pixels all have equal red, green
// and blue, which desaturating leaves as they are (greyOf(g, g, g) is g): the
// greys handed over by the interpreter, read without copying them.
bool isGrey(const QImage &image)
{
    if (image.format() != QImage::Format_RGB32)
        return false;
    const int w = image.width();
    for (int y = 0; y < image.height(); ++y) {
        const quint32 *line = reinterpret_cast<const quint32 *>(image.constScanLine(y));
        quint32 odd = 0;
        for (int x = 0; x < w; ++x) {
            const quint32 p = line[x];
            odd |= (p ^ (p >> 8)) & 0xffffu;
        }
        if (odd != 0)
            return false;
    }
    return true;
}

} // namespace

imageProcessor::imageProcessor(QObject *parent)
    : QObject(parent)
    , m_renderer(new rasterPipeline)
{
    m_renderer->setStopSwitch(&m_stopRun);
    connect(m_renderer, &rasterPipeline::finished, this, &imageProcessor::getDitheredBands);
    connect(m_renderer, &rasterPipeline::progress, this, &imageProcessor::pipelineProgress);
    connect(m_renderer, &rasterPipeline::failed, this, &imageProcessor::error);
    connect(this, &imageProcessor::renderList, m_renderer, &rasterPipeline::getList);
    connect(this, &imageProcessor::startRender, m_renderer, &rasterPipeline::startRender);
    m_renderer->moveToThread(&m_renderThread);
    m_renderThread.start(QThread::InheritPriority);
}

imageProcessor::~imageProcessor()
{
    // A render still running stops at its next tile or item (the renderer reads
    // its own events while it waits for the pool); then the thread ends.
    QMetaObject::invokeMethod(m_renderer, "kill", Qt::QueuedConnection);
    m_renderThread.quit();
    m_renderThread.wait();
    // The thread has ended: nothing runs on the renderer any more.
    delete m_renderer;
}

QColor imageProcessor::desaturate(const QColor &color)
{
    const QRgb rgb = color.rgb();
    const int g = greyOf(qRed(rgb), qGreen(rgb), qBlue(rgb));
    return QColor(g, g, g, 255);
}

QPixmap imageProcessor::desaturate(const QPixmap &pixmap)
{
    if (pixmap.isNull())
        return pixmap;
    // an eight-bit grey picture (kept so by the scene's reader) is grey already
    if (pixmap.toImage().format() == QImage::Format_Grayscale8)
        return pixmap;
    if (!pixmap.hasAlphaChannel() && isGrey(pixmap.toImage()))
        return pixmap;
    // Pixmaps with an alpha channel keep it premultiplied, so every fully
    // transparent pixel reads as 0 here.
    QImage image = pixmap.toImage().convertToFormat(
        pixmap.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    const int w = image.width();
    for (int y = 0; y < image.height(); ++y) {
        quint32 *line = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const quint32 p = line[x];
            if (p == 0)
                continue;
            const quint32 g = static_cast<quint32>(greyOf(qRed(p), qGreen(p), qBlue(p)));
            line[x] = 0xff000000u | (g * 0x010101u);
        }
    }
    return QPixmap::fromImage(std::move(image));
}

void imageProcessor::setDithering(int type)
{
    // Only a run under way has its method fixed; once its tiles have gone, a
    // new method is simply the one of the next run.
    if (m_running && type != m_runDithering) {
        emit error(
            QStringLiteral("Processing has already occured on this image, dithering cannot be changed."));
    }
    m_dithering = type;
}

void imageProcessor::getRasters(VectorList list)
{
    m_processed = false;
    m_rasterItems = list.items;
}

void imageProcessor::process()
{
    if (m_processed) {
        emit error(QStringLiteral("Processing has already occured on this image."));
        return;
    }
    m_processed = true;
    m_runDithering = m_dithering;

    if (m_rasterItems.isEmpty()) {
        emit sendDitheredTiles(Vexlor::SceneTile());
        emit setLabelTextProgBar(QStringLiteral("Processing Commands."));
        emit setRangeProgBar(0, 0);
        return;
    }

    emit setLabelTextProgBar(QStringLiteral("Rendering Raster Graphics"));
    emit setRangeProgBar(0, m_rasterItems.size());
    for (int i = 0; i < m_rasterItems.size(); ++i) {
        if (m_stopRun.load()) {
            emit sendDitheredTiles(Vexlor::SceneTile());
            return;
        }
        emit setValueProgBar(i);
        LaserOp::LaserOp &item = m_rasterItems[i];
        if (item.type == LaserOp::Image) {
            item.pixmap = desaturate(item.pixmap);
        } else {
            item.brush.setColor(desaturate(item.brush.color()));
            item.pen.setColor(desaturate(item.pen.color()));
        }
    }
    // The painting itself reports no steps: a busy indicator until the tiles come.
    emit setRangeProgBar(0, 0);

    m_running = true;
    QMetaObject::invokeMethod(m_renderer, "setMethod", Qt::QueuedConnection, Q_ARG(int, m_runDithering));
    emit renderList(Vexlor::LaserItemList(m_rasterItems));
    emit startRender();
}

void imageProcessor::pipelineProgress(int done, int total)
{
    if (done == 0) {
        emit setLabelTextProgBar(QStringLiteral("Dithering Graphics."));
        emit setRangeProgBar(0, total);
    }
    emit setValueProgBar(done);
}

void imageProcessor::getDitheredBands(Vexlor::SceneTile tiles)
{
    m_running = false;
    emit setLabelTextProgBar(QStringLiteral("Processing Commands."));
    emit setRangeProgBar(0, tiles.size());
    emit sendDitheredTiles(tiles);
}

void imageProcessor::getRenderedTiles(Vexlor::SceneTile tiles)
{
    const int count = tiles.size();
    emit setLabelTextProgBar(QStringLiteral("Dithering Graphics."));
    emit setValueProgBar(0);
    emit setRangeProgBar(0, count);

    // One ditherer for the whole pass: it holds the carry rows that take the
    // error from the bottom of one tile into the top of the next, so the tiles
    // go through it in order, top to bottom.
    const int width = count > 0 ? tiles.first().second.width() : 0;
    {
        ditherer pass(m_running ? m_runDithering : m_dithering, width);
        for (int k = 0; k < count; ++k) {
            if (!ditherer::leavesGrey(pass.method())) {
                QPixmap &pixmap = tiles[k].second;
                const QImage bits = pass.ditherTile(pixmap.toImage());
                // Kept at one bit per pixel: a full table at 600 dpi is 50 MB so,
                // where a 32-bit pixmap would take 1.6 GB.
                pixmap = QPixmap::fromImage(bits, Qt::NoFormatConversion);
            }
            emit setValueProgBar(k + 1);
        }
    }

    emit setLabelTextProgBar(QStringLiteral("Processing Commands."));
    emit setRangeProgBar(0, count);
    emit sendDitheredTiles(tiles);
}
