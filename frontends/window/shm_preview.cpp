#include "frontends/window/shm_preview.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <mutex>
#include <unordered_map>

namespace ipcam {

struct ShmPreview::Shared {
    std::mutex mutex;
    xcb_connection_t* connection = nullptr;  // null once the ShmPreview is gone
    bool segmentsWork = true;                // false after the server refused one
    std::unordered_map<const uchar*, xcb_shm_seg_t> segments;
    xcb_gcontext_t gc = 0;
    xcb_window_t gcWindow = 0;
    bool gcWindowFits = false;  // gcWindow is of depth 24
};

namespace {

struct Segment {
    std::shared_ptr<ShmPreview::Shared> shared;
    uchar* address;
};

// The image's cleanup: the server lets go of the segment after every put
// sent before the detach, so the memory is never read after it is gone.
void releaseSegment(void* info) {
    auto* s = static_cast<Segment*>(info);
    {
        std::lock_guard lock(s->shared->mutex);
        auto it = s->shared->segments.find(s->address);
        if (it != s->shared->segments.end()) {
            if (s->shared->connection) {
                xcb_shm_detach(s->shared->connection, it->second);
                xcb_flush(s->shared->connection);
            }
            s->shared->segments.erase(it);
        }
    }
    shmdt(s->address);
    delete s;
}

}  // namespace

std::unique_ptr<ShmPreview> ShmPreview::create() {
    if (QGuiApplication::platformName() != QLatin1String("xcb") || std::getenv("IPCAM_NO_SHM_PREVIEW")) {
        return nullptr;
    }
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    if (!c) {
        return nullptr;
    }
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_shm_id);
    if (!ext || !ext->present) {
        return nullptr;
    }
    const xcb_setup_t* setup = xcb_get_setup(c);
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        return nullptr;
    }
    bool fourBytes = false;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
        fourBytes = fourBytes || (it.data->depth == 24 && it.data->bits_per_pixel == 32);
    }
    if (!fourBytes) {
        return nullptr;
    }
    auto shared = std::make_shared<Shared>();
    shared->connection = c;
    return std::unique_ptr<ShmPreview>(new ShmPreview(std::move(shared)));
}

ShmPreview::ShmPreview(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

ShmPreview::~ShmPreview() {
    std::lock_guard lock(shared_->mutex);
    if (shared_->gc) {
        xcb_free_gc(shared_->connection, shared_->gc);
    }
    for (const auto& [address, seg] : shared_->segments) {
        xcb_shm_detach(shared_->connection, seg);
    }
    xcb_flush(shared_->connection);
    // Images still alive only give back their memory from now on.
    shared_->segments.clear();
    shared_->connection = nullptr;
}

QImage ShmPreview::allocate(QSize size) { return allocateIn(shared_, size); }

std::function<QImage(QSize)> ShmPreview::allocator() const {
    return [shared = shared_](QSize size) { return allocateIn(shared, size); };
}

QImage ShmPreview::allocateIn(const std::shared_ptr<Shared>& shared_, QSize size) {
    const auto plain = [&] { return QImage(size, QImage::Format_RGB32); };
    if (size.isEmpty()) {
        return plain();
    }
    std::lock_guard lock(shared_->mutex);
    if (!shared_->segmentsWork || !shared_->connection) {
        return plain();
    }
    const size_t bytes = size_t(size.width()) * size_t(size.height()) * 4;
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) {
        return plain();
    }
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return plain();
    }
    xcb_connection_t* c = shared_->connection;
    const xcb_shm_seg_t seg = xcb_generate_id(c);
    // Checked: a server on another machine cannot attach our memory.
    xcb_generic_error_t* error = xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<uint32_t>(id), 1));
    // Freed once both sides have let go of it.
    shmctl(id, IPC_RMID, nullptr);
    if (error) {
        std::free(error);
        shmdt(address);
        shared_->segmentsWork = false;
        return plain();
    }
    auto* pixels = static_cast<uchar*>(address);
    shared_->segments.emplace(pixels, seg);
    return QImage(pixels, size.width(), size.height(), size.width() * 4, QImage::Format_RGB32, releaseSegment,
                  new Segment{shared_, pixels});
}

bool ShmPreview::canPut(const QImage& image, unsigned long window) {
    std::lock_guard lock(shared_->mutex);
    xcb_connection_t* c = shared_->connection;
    if (!c || window == 0 || shared_->segments.count(image.constBits()) == 0) {
        return false;
    }
    const auto w = static_cast<xcb_window_t>(window);
    if (w != shared_->gcWindow) {
        // Once per window: its depth, and a graphics context for it.
        xcb_get_geometry_reply_t* geometry = xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr);
        shared_->gcWindowFits = geometry && geometry->depth == 24;
        std::free(geometry);
        if (shared_->gc) {
            xcb_free_gc(c, shared_->gc);
        }
        shared_->gc = xcb_generate_id(c);
        const uint32_t noExposures = 0;
        xcb_create_gc(c, shared_->gc, w, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);
        shared_->gcWindow = w;
    }
    return shared_->gcWindowFits;
}

bool ShmPreview::put(const QImage& image, unsigned long window, QPoint at) {
    if (!canPut(image, window)) {
        return false;
    }
    std::lock_guard lock(shared_->mutex);
    xcb_connection_t* c = shared_->connection;
    const auto width = static_cast<uint16_t>(image.width()), height = static_cast<uint16_t>(image.height());
    xcb_shm_put_image(c, static_cast<xcb_window_t>(window), shared_->gc, width, height, 0, 0, width, height,
                      static_cast<int16_t>(at.x()), static_cast<int16_t>(at.y()), 24, XCB_IMAGE_FORMAT_Z_PIXMAP, 0,
                      shared_->segments.at(image.constBits()), 0);
    xcb_flush(c);
    return true;
}

}  // namespace ipcam
