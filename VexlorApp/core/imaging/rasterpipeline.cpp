#include "rasterpipeline.h"

#include "ditherer.h"
#include "largeimage.h"
#include "renderingmanager.h"
#include "renderingthread.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QPixmap>
#include <QThread>
#include <QWaitCondition>
#include <QtDebug>

#include <cstring>
#include <memory>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

struct rasterPipeline::Band
{
    QImage result;
    bool done = false;
    bool outOfMemory = false;
};

// The items as the painter draws them. Grey pictures are held in eight bits
// (a photo over the whole table would take four times the memory in 32 bits)
// and sampled as they are by the bands of pictures alone; a band the painter
// draws gets them as the 32-bit pictures they stand for, so that it paints
// exactly what it paints for a 32-bit picture. They are widened once per
// pass, by the first such band.
struct rasterPipeline::PainterItems
{
    const Vexlor::LaserItemList &of(const Vexlor::LaserItemList &items)
    {
        QMutexLocker locker(&lock);
        if (!made) {
            widened = items;
            for (LaserOp::LaserOp &item : widened) {
                if (item.type == LaserOp::Image && item.pixmap.toImage().format() == QImage::Format_Grayscale8)
                    item.pixmap = QPixmap::fromImage(Vexlor::widenGreyPicture(item.pixmap.toImage()));
            }
            made = true;
        }
        return widened;
    }

    QMutex lock;
    bool made = false;
    Vexlor::LaserItemList widened;
};

namespace {

bool diffuses(int method)
{
    return method == ditherer::FloydSteinberg || method == ditherer::JarvisJudiceNinke
        || method == ditherer::Stucki;
}

// What a finished band tells the thread that waits for it.
struct Handoff
{
    QMutex lock;
    QWaitCondition bandDone;
};

} // namespace

rasterPipeline::rasterPipeline(QObject *parent)
    : QObject(parent)
    , m_stop(false)
{
    m_pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
}

rasterPipeline::~rasterPipeline()
{
    m_stop = true;
    m_pool.waitForDone();
}

QImage rasterPipeline::thresholdBand(const QImage &band)
{
    QImage out = ditherer::makeMonoImage(band.width(), band.height());
    if (out.isNull() || band.isNull())
        return out;
    const int w = band.width();
    const int lineBytes = (w + 7) / 8;
    const int padBytes = out.bytesPerLine() - lineBytes;
    for (int y = 0; y < band.height(); ++y) {
        const QRgb *in = reinterpret_cast<const QRgb *>(band.constScanLine(y));
        uchar *bits = out.scanLine(y);
        for (int b = 0; b < lineBytes; ++b) {
            uint byte = 0;
            const int end = std::min(8, w - b * 8);
            for (int i = 0; i < end; ++i) {
                const QRgb p = in[b * 8 + i];
                byte |= uint(qRed(p) + qGreen(p) + qBlue(p) <= 382) << (7 - i);
            }
            bits[b] = uchar(byte);
        }
        if (padBytes > 0)
            std::memset(bits + lineBytes, 0, size_t(padBytes));
    }
    return out;
}

qint64 rasterPipeline::memoryFor(const QSize &page, int method)
{
    if (page.isEmpty())
        return 0;
    const qint64 bands = (qint64(page.height()) + bandHeight - 1) / bandHeight;
    const QSize band(page.width(), int(bandHeight));
    const qint64 threads = std::max(1, QThread::idealThreadCount());
    qint64 working = 0;
    if (diffuses(method)) {
        // Grey bands painted ahead of the one being diffused.
        working = (threads + 1) * Vexlor::largeImageBytes(band, QImage::Format_Grayscale8);
    } else if (ditherer::leavesGrey(method)) {
        working = threads * Vexlor::largeImageBytes(band, QImage::Format_RGB32);
    } else {
        working = threads
            * Vexlor::largeImageBytes(QSize(page.width(), kOrderedPartRows), QImage::Format_Grayscale8);
    }
    return bands * Vexlor::largeImageBytes(band, QImage::Format_Mono) + working;
}

QImage rasterPipeline::greyBand(const QImage &band, QImage out)
{
    if (out.size() != band.size() || out.format() != QImage::Format_Grayscale8)
        out = Vexlor::makeLargeImage(band.size(), QImage::Format_Grayscale8);
    if (out.isNull() || band.isNull())
        return QImage();
    const int w = band.width();
    for (int y = 0; y < band.height(); ++y) {
        const quint32 *in = reinterpret_cast<const quint32 *>(band.constScanLine(y));
        uchar *grey = out.scanLine(y);
        int x = 0;
#ifdef __SSE2__
        // Sixteen pixels at a time: the low bytes, narrowed twice (each value
        // is below 256 once masked, so the saturating packs keep it).
        const __m128i low = _mm_set1_epi32(0xff);
        for (; x + 16 <= w; x += 16) {
            const __m128i *src = reinterpret_cast<const __m128i *>(in + x);
            const __m128i a = _mm_and_si128(_mm_loadu_si128(src), low);
            const __m128i b = _mm_and_si128(_mm_loadu_si128(src + 1), low);
            const __m128i c = _mm_and_si128(_mm_loadu_si128(src + 2), low);
            const __m128i d = _mm_and_si128(_mm_loadu_si128(src + 3), low);
            const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(grey + x), bytes);
        }
#endif
        for (; x < w; ++x)
            grey[x] = uchar(in[x] & 0xffu);
    }
    return out;
}

void rasterPipeline::getList(Vexlor::LaserItemList list)
{
    if (!m_items.isSharedWith(list))
        m_items = list;
}

void rasterPipeline::setMethod(int method)
{
    m_method = method;
}

void rasterPipeline::kill()
{
    m_stop = true;
    m_restartPending = false;
}

void rasterPipeline::startRender()
{
    if (m_running) {
        // Arrived while a pass waits for its bands: that pass is stale now.
        m_stop = true;
        m_restartPending = true;
        return;
    }
    m_running = true;
    do {
        m_restartPending = false;
        m_stop = false;
        // A switched-off pass still answers, with nothing, so that whoever
        // asked for it knows it is over.
        if (!run() && !m_restartPending && m_stopSwitch && m_stopSwitch->load())
            emit finished(Vexlor::SceneTile());
    } while (m_restartPending);
    m_running = false;
    // The buffers are the size of this picture's bands; the next job's differ.
    QMutexLocker locker(&m_bufferLock);
    m_buffers.clear();
}

QImage rasterPipeline::takeBuffer(const QSize &size, QImage::Format format)
{
    {
        QMutexLocker locker(&m_bufferLock);
        for (size_t i = m_buffers.size(); i-- > 0;) {
            if (m_buffers[i].size() == size && m_buffers[i].format() == format) {
                QImage buffer = std::move(m_buffers[i]);
                m_buffers.erase(m_buffers.begin() + std::ptrdiff_t(i));
                return buffer;
            }
        }
    }
    return Vexlor::makeLargeImage(size, format);
}

void rasterPipeline::giveBuffer(QImage buffer)
{
    QMutexLocker locker(&m_bufferLock);
    m_buffers.push_back(std::move(buffer));
}

void rasterPipeline::paintBand(
    Band *band, const QRect &rect, const Vexlor::LaserItemList *items, PainterItems *painterItems, int method)
{
    if (!ditherer::leavesGrey(method) && !diffuses(method) && rect.height() > kOrderedPartRows) {
        // Ordered dithering needs no band of grey: a band of scaled pictures
        // only is sampled a part of the band at a time into a smaller grey
        // picture, which is dithered into the band's bits at once.
        if (orderedPictureBand(band, rect, items) != PictureBand::Unsupported)
            return;
    }
    if (!ditherer::leavesGrey(method)) {
        // A band of scaled pictures only (a photo) is sampled straight into
        // grey, with the very pixels the painter would copy.
        QImage grey = takeBuffer(rect.size(), QImage::Format_Grayscale8);
        const renderingThread::GreyPaint painted
            = grey.isNull() ? renderingThread::GreyPaint::Unsupported
                            : renderingThread::paintGrey(grey, rect, *items, &m_stop);
        if (painted == renderingThread::GreyPaint::Painted) {
            if (diffuses(method)) {
                band->result = std::move(grey);
            } else {
                band->result = ditherer::orderedDither(grey);
                giveBuffer(std::move(grey));
            }
            band->outOfMemory = band->result.isNull();
            return;
        }
        if (!grey.isNull())
            giveBuffer(std::move(grey));
        if (painted == renderingThread::GreyPaint::Stopped)
            return;
    }
    QImage canvas = takeBuffer(rect.size(), QImage::Format_RGB32);
    if (canvas.isNull()) {
        band->outOfMemory = true;
        return;
    }
    canvas.fill(Qt::white);
    if (!renderingThread::paint(canvas, rect, painterItems->of(*items), &m_stop)) {
        giveBuffer(std::move(canvas));
        return;
    }
    if (diffuses(method))
        band->result = greyBand(canvas, takeBuffer(rect.size(), QImage::Format_Grayscale8));
    else if (ditherer::leavesGrey(method))
        band->result = thresholdBand(canvas);
    else
        band->result = ditherer::orderedDither(canvas);
    band->outOfMemory = band->result.isNull();
    giveBuffer(std::move(canvas));
}

rasterPipeline::PictureBand rasterPipeline::orderedPictureBand(
    Band *band, const QRect &rect, const Vexlor::LaserItemList *items)
{
    const int width = rect.width();
    QImage grey = takeBuffer(QSize(width, kOrderedPartRows), QImage::Format_Grayscale8);
    if (grey.isNull())
        return PictureBand::Unsupported;
    QImage bits;
    PictureBand done = PictureBand::Painted;
    for (int top = 0; top < rect.height(); top += kOrderedPartRows) {
        const int rows = std::min(kOrderedPartRows, rect.height() - top);
        // the first rows of the buffer, as a picture of their own
        QImage part(grey.bits(), width, rows, grey.bytesPerLine(), QImage::Format_Grayscale8);
        const renderingThread::GreyPaint painted = renderingThread::paintGrey(
            part, QRect(rect.left(), rect.top() + top, width, rows), *items, &m_stop);
        if (painted != renderingThread::GreyPaint::Painted) {
            // A band the sampling cannot take is so from its first part on.
            done = painted == renderingThread::GreyPaint::Stopped ? PictureBand::Stopped : PictureBand::Unsupported;
            break;
        }
        if (bits.isNull()) {
            bits = ditherer::makeMonoImage(width, rect.height());
            if (bits.isNull()) {
                band->outOfMemory = true;
                done = PictureBand::OutOfMemory;
                break;
            }
        }
        ditherer::orderedDitherRows(part, top, bits);
    }
    giveBuffer(std::move(grey));
    if (done == PictureBand::Painted)
        band->result = std::move(bits);
    return done;
}

bool rasterPipeline::stopped()
{
    // The painters on the pool look at m_stop only.
    if (m_stopSwitch && m_stopSwitch->load())
        m_stop = true;
    return m_stop;
}

bool rasterPipeline::run()
{
    const Vexlor::LaserItemList items = renderingManager::threadSafeCopy(m_items);
    bool tooLarge = false;
    const QVector<QRect> rects = renderingManager::tileRects(items, bandHeight, 1, &tooLarge);
    if (tooLarge) {
        emit failed(
            QStringLiteral("The raster graphics of this job are too large to engrave: they are left out."));
    }
    const int count = rects.size();
    emit progress(0, count);

    // Fixed for the pass: a new method arriving meanwhile is for the next one.
    const int method = m_method;
    const bool diffuse = diffuses(method);
    // Bands painted ahead of the one being dithered: enough to keep every
    // pool thread busy while the diffusion works through a band.
    const int ahead = m_pool.maxThreadCount() + 1;
    std::vector<Band> bands(static_cast<size_t>(count));
    PainterItems painterItems;
    Handoff handoff;
    ditherer pass(method, count > 0 ? rects.first().width() : 0);
    Vexlor::SceneTile result;
    result.reserve(count);
    QStringList missing;

    int submitted = 0;
    for (int k = 0; k < count && !stopped(); ++k) {
        while (submitted < count && submitted < k + ahead) {
            Band *band = &bands[size_t(submitted)];
            const QRect rect = rects.at(submitted);
            m_pool.start([this, band, rect, &items, &painterItems, method, &handoff]() {
                paintBand(band, rect, &items, &painterItems, method);
                QMutexLocker locker(&handoff.lock);
                band->done = true;
                handoff.bandDone.wakeAll();
            });
            ++submitted;
        }
        Band &band = bands[size_t(k)];
        {
            QMutexLocker locker(&handoff.lock);
            while (!band.done && !stopped()) {
                handoff.bandDone.wait(&handoff.lock, 50);
                locker.unlock();
                // kill() and a new startRender() arrive as events of this thread.
                QCoreApplication::sendPostedEvents(this, 0);
                locker.relock();
            }
        }
        if (stopped())
            break;

        QImage bits;
        if (band.outOfMemory) {
            missing << QStringLiteral("%1-%2").arg(rects.at(k).top()).arg(rects.at(k).bottom());
        } else if (diffuse) {
            bits = pass.ditherTile(band.result);
            giveBuffer(std::move(band.result));
            if (bits.isNull())
                missing << QStringLiteral("%1-%2").arg(rects.at(k).top()).arg(rects.at(k).bottom());
        } else {
            bits = std::move(band.result);
        }
        band.result = QImage();
        result.append(qMakePair(rects.at(k), QPixmap::fromImage(std::move(bits), Qt::NoFormatConversion)));
        emit progress(k + 1, count);
    }
    // Tasks still queued or painting refer to this pass's bands and items.
    m_pool.waitForDone();
    if (m_stop)
        return false;

    if (!missing.isEmpty()) {
        emit failed(
            QStringLiteral("Not enough memory to render the raster graphics of this job (rows %1 of %2 "
                           "pixels wide): the engraver job lacks them.")
                .arg(missing.join(QStringLiteral(", ")))
                .arg(count > 0 ? rects.first().width() : 0));
    }
    emit finished(result);
    return true;
}
