#pragma once
// Shows preview pictures on an X11 display straight from shared memory. The
// decoder writes each picture into an image whose memory the X server reads
// as well (MIT-SHM), and a new picture goes to the window as one request:
// no paint cycle, no copy into the window's backing store. Only on the xcb
// platform with MIT-SHM and 32-bit pixels for depth 24; elsewhere create()
// gives nothing and the panel paints as every widget does.

#include <QImage>
#include <QPoint>

#include <functional>
#include <memory>

namespace ipcam {

class ShmPreview {
public:
    // Null where pictures cannot be shown this way.
    static std::unique_ptr<ShmPreview> create();
    ~ShmPreview();
    ShmPreview(const ShmPreview&) = delete;
    ShmPreview& operator=(const ShmPreview&) = delete;

    // An image of `size` (Format_RGB32) in a segment the X server has
    // attached, or an ordinary image when no segment can be had. Images
    // may outlive this object; they then just release their memory.
    QImage allocate(QSize size);
    // The same as a function that any thread may call at any time, also
    // once this object is gone (it then gives ordinary images).
    std::function<QImage(QSize)> allocator() const;

    // Whether `image` is in a shared segment and the native window `window`
    // is of depth 24, so that put() can show it there.
    bool canPut(const QImage& image, unsigned long window);
    // Puts `image` at `at` in `window`; false, and nothing sent, unless
    // canPut().
    bool put(const QImage& image, unsigned long window, QPoint at);

    struct Shared;

private:
    explicit ShmPreview(std::shared_ptr<Shared> shared);
    static QImage allocateIn(const std::shared_ptr<Shared>& shared, QSize size);
    std::shared_ptr<Shared> shared_;
};

}  // namespace ipcam
