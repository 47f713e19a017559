#include "largeimage.h"

#include <QImageReader>

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

namespace Vexlor {

namespace {

constexpr size_t kHugePage = size_t(2) << 20;
constexpr size_t kSmallPage = 4096;
// The reserve is touched and handed over in parts of this size, so that the
// first images find memory while the rest is still being touched.
constexpr size_t kTouchPart = size_t(16) << 20;

struct Extent
{
    uchar *address;
    size_t length;
};

// Maps length bytes (a multiple of kHugePage) aligned to a huge page, asking
// for huge pages; null when the memory cannot be mapped.
uchar *mapAligned(size_t length)
{
    void *mapped = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    auto *base = static_cast<uchar *>(mapped);
    const size_t lead = (kHugePage - reinterpret_cast<quintptr>(base) % kHugePage) % kHugePage;
    if (lead > 0)
        ::munmap(base, lead);
    if (kHugePage - lead > 0)
        ::munmap(base + lead + length, kHugePage - lead);
    uchar *pixels = base + lead;
#ifdef MADV_HUGEPAGE
    ::madvise(pixels, length, MADV_HUGEPAGE);
#endif
    return pixels;
}

// The memory set aside for a job: extents of mapped, touched memory, each
// aligned to a huge page. Never destroyed, so that images that outlive the
// program's statics can still go.
class Reserve
{
public:
    static Reserve &instance()
    {
        static Reserve *reserve = new Reserve;
        return *reserve;
    }

    void open(size_t length, size_t more, std::function<bool()> wanted)
    {
        close();
        std::lock_guard<std::mutex> locker(m_lock);
        m_open = true;
        if (length == 0 && more == 0)
            return;
        m_stop = false;
        try {
            m_toucher = std::thread([this, length, more, wanted] {
                // Only where no other thread wants a processor: the job's own
                // work must not wait for memory it may never need.
                sched_param idle {};
                ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &idle);
                touch(length);
                if (more > 0 && !m_stop.load(std::memory_order_relaxed) && wanted && wanted())
                    touch(more);
            });
        } catch (const std::system_error &) {
            // No thread to touch it: the images take fresh memory as before.
        }
    }

    void stopTouching()
    {
        m_stop = true;
        if (m_toucher.joinable())
            m_toucher.join();
    }

    void trim(size_t bytes)
    {
        std::vector<Extent> unused;
        {
            std::lock_guard<std::mutex> locker(m_lock);
            size_t held = 0;
            for (const Extent &extent : m_free)
                held += extent.length;
            while (held > bytes && !m_free.empty()) {
                Extent &last = m_free.back();
                const size_t cut = std::min(last.length, held - bytes);
                unused.push_back(Extent { last.address + last.length - cut, cut });
                last.length -= cut;
                held -= cut;
                if (last.length == 0)
                    m_free.pop_back();
            }
        }
        for (const Extent &extent : unused)
            ::munmap(extent.address, extent.length);
    }

    void close()
    {
        stopTouching();
        std::vector<Extent> unused;
        {
            std::lock_guard<std::mutex> locker(m_lock);
            m_open = false;
            unused.swap(m_free);
        }
        for (const Extent &extent : unused)
            ::munmap(extent.address, extent.length);
    }

    // Memory of the given length from the reserve, the smallest part that
    // holds it; null when none does.
    uchar *take(size_t length)
    {
        std::lock_guard<std::mutex> locker(m_lock);
        size_t best = m_free.size();
        for (size_t i = 0; i < m_free.size(); ++i) {
            if (m_free[i].length >= length && (best == m_free.size() || m_free[i].length < m_free[best].length))
                best = i;
        }
        if (best == m_free.size())
            return nullptr;
        Extent &extent = m_free[best];
        uchar *address = extent.address;
        extent.address += length;
        extent.length -= length;
        if (extent.length == 0)
            m_free.erase(m_free.begin() + std::ptrdiff_t(best));
        return address;
    }

    // Keeps the memory of an image that went while the reserve is open;
    // false when it is not, and the memory must go.
    bool keep(uchar *address, size_t length)
    {
        std::lock_guard<std::mutex> locker(m_lock);
        if (!m_open)
            return false;
        add(address, length);
        return true;
    }

    size_t ready()
    {
        std::lock_guard<std::mutex> locker(m_lock);
        size_t bytes = 0;
        for (const Extent &extent : m_free)
            bytes += extent.length;
        return bytes;
    }

private:
    Reserve() = default;

    // Adds an extent, joined with one that ends where it starts.
    void add(uchar *address, size_t length)
    {
        for (Extent &extent : m_free) {
            if (extent.address + extent.length == address) {
                extent.length += length;
                return;
            }
        }
        m_free.push_back(Extent { address, length });
    }

    // Maps and touches length bytes, handing them over in parts; what is
    // not touched when the reserve stops goes back at once.
    void touch(size_t length)
    {
        if (length == 0)
            return;
        uchar *base = mapAligned(length);
        if (!base)
            return;
        size_t done = 0;
        while (done < length && !m_stop.load(std::memory_order_relaxed)) {
            const size_t part = std::min(kTouchPart, length - done);
            volatile uchar *bytes = base + done;
            for (size_t at = 0; at < part; at += kSmallPage)
                bytes[at] = 0;
            {
                std::lock_guard<std::mutex> locker(m_lock);
                add(base + done, part);
            }
            done += part;
        }
        if (done < length)
            ::munmap(base + done, length - done);
    }

    std::mutex m_lock;
    std::vector<Extent> m_free;
    bool m_open = false;
    std::atomic<bool> m_stop { false };
    std::thread m_toucher;
};

struct Mapping
{
    uchar *address;
    size_t length;
};

void unmapPixels(void *info)
{
    auto *mapping = static_cast<Mapping *>(info);
    if (!Reserve::instance().keep(mapping->address, mapping->length))
        ::munmap(mapping->address, mapping->length);
    delete mapping;
}

// Bytes per line of an image, in whole 32-bit words as QImage lays them out.
qint64 lineBytesOf(int width, QImage::Format format)
{
    return (qint64(width) * QImage::toPixelFormat(format).bitsPerPixel() + 31) / 32 * 4;
}

} // namespace

qint64 largeImageBytes(const QSize &size, QImage::Format format)
{
    if (size.isEmpty() || format == QImage::Format_Invalid)
        return 0;
    const qint64 bytes = lineBytesOf(size.width(), format) * size.height();
    return bytes < qint64(kHugePage) ? bytes : (bytes + qint64(kHugePage) - 1) / qint64(kHugePage) * qint64(kHugePage);
}

QImage makeLargeImage(int width, int height, QImage::Format format)
{
    if (width <= 0 || height <= 0 || format == QImage::Format_Invalid)
        return QImage();
    const qint64 lineBytes = lineBytesOf(width, format);
    if (lineBytes > std::numeric_limits<int>::max() / 2)
        return QImage();
    const qint64 bytes = lineBytes * height;
    if (bytes < qint64(kHugePage) || bytes > std::numeric_limits<qint64>::max() / 4)
        return QImage(width, height, format);

    const size_t length = (size_t(bytes) + kHugePage - 1) / kHugePage * kHugePage;
    uchar *pixels = Reserve::instance().take(length);
    if (!pixels)
        pixels = mapAligned(length);
    if (!pixels)
        return QImage(width, height, format);
    auto *mapping = new Mapping { pixels, length };
    QImage image(pixels, width, height, int(lineBytes), format, unmapPixels, mapping);
    if (image.isNull())
        unmapPixels(mapping);
    return image;
}

void reserveLargeMemory(qint64 bytes, qint64 more, std::function<bool()> wanted)
{
    const auto pages = [](qint64 count) {
        return count > 0 ? (size_t(count) + kHugePage - 1) / kHugePage * kHugePage : size_t(0);
    };
    Reserve::instance().open(pages(bytes), pages(more), std::move(wanted));
}

void stopTouchingLargeMemory()
{
    Reserve::instance().stopTouching();
}

void trimLargeMemory(qint64 bytes)
{
    Reserve::instance().trim(bytes > 0 ? (size_t(bytes) + kHugePage - 1) / kHugePage * kHugePage : 0);
}

void releaseLargeMemory()
{
    Reserve::instance().close();
}

qint64 reservedLargeMemory()
{
    return qint64(Reserve::instance().ready());
}

QImage readLargeImage(const QString &fileName)
{
    QImageReader reader(fileName);
    const QSize size = reader.size();
    const QImage::Format format = reader.imageFormat();
    QImage image;
    // A reader given an image of the right size and format fills it in place.
    if (size.isValid() && format != QImage::Format_Invalid)
        image = makeLargeImage(size, format);
    if (!reader.read(&image))
        return QImage();
    return image;
}

QImage widenGreyPicture(const QImage &grey)
{
    if (grey.format() != QImage::Format_Grayscale8)
        return grey.convertToFormat(QImage::Format_RGB32);
    QImage out = makeLargeImage(grey.size(), QImage::Format_RGB32);
    if (out.isNull())
        return out;
    const int width = grey.width();
    for (int y = 0; y < grey.height(); ++y) {
        const uchar *in = grey.constScanLine(y);
        auto *line = reinterpret_cast<quint32 *>(out.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = 0xff000000u | quint32(in[x]) * 0x010101u;
    }
    return out;
}

} // namespace Vexlor
