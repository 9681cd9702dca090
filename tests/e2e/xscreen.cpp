#include "tests/e2e/xscreen.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace e2e {

namespace {

struct FreeDeleter
{
    void operator()(void *reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

struct ConnectionCloser
{
    void operator()(xcb_connection_t *connection) const { xcb_disconnect(connection); }
};

} // namespace

QImage grabWindow(const QString &display, quint32 window)
{
    int screenNumber = 0;
    const std::unique_ptr<xcb_connection_t, ConnectionCloser> connection(
        xcb_connect(display.toLocal8Bit().constData(), &screenNumber));
    if (xcb_connection_has_error(connection.get()))
        return QImage();
    const xcb_setup_t *setup = xcb_get_setup(connection.get());
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    if (screens.rem == 0)
        return QImage();
    const xcb_window_t target = window != 0 ? window : screens.data->root;

    const Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection.get(), xcb_get_geometry(connection.get(), target), nullptr));
    if (!geometry || geometry->width == 0 || geometry->height == 0)
        return QImage();
    const int width = geometry->width;
    const int height = geometry->height;
    const Reply<xcb_get_image_reply_t> image(
        xcb_get_image_reply(connection.get(),
                            xcb_get_image(connection.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, target, 0, 0, geometry->width,
                                          geometry->height, ~0u),
                            nullptr));
    // A 24-bit TrueColor screen stores each pixel in 32 bits, least significant byte first, as
    // QImage::Format_RGB32 does on this machine.
    if (!image || image->depth != 24 || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
        return QImage();
    const int length = xcb_get_image_data_length(image.get());
    if (length < width * height * 4)
        return QImage();
    QImage result(width, height, QImage::Format_RGB32);
    const uint8_t *data = xcb_get_image_data(image.get());
    const int stride = length / height;
    for (int y = 0; y < height; ++y)
        std::memcpy(result.scanLine(y), data + y * stride, size_t(width) * 4);
    return result;
}

int countPixels(const QImage &image, QRgb colour)
{
    if (image.isNull())
        return -1;
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if ((line[x] & 0xFFFFFF) == (colour & 0xFFFFFF))
                ++count;
        }
    }
    return count;
}

} // namespace e2e
