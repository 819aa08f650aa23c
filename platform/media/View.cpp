#include "ZQLiveKit/View.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include "platform/media/ImageCodec.h"
#include "platform/media/ViewRenderer.h"

namespace platform {

// The one lock of the view tree, and the walks that need it.
struct ViewTree {
    static std::recursive_mutex& mutex() {
        static auto* m = new std::recursive_mutex();
        return *m;
    }

    struct DrawItem {
        std::shared_ptr<const View> view;
        AffineTransform toRoot; // the view's bounds coordinates to the root's
        double alpha = 1;
        Size size;
        std::optional<Color> background;
    };

    // Maps a view's bounds coordinates into its superview's: the transform acts about the centre.
    static AffineTransform toSuperview(const View& v) {
        double halfW = v.mFrame.size.width / 2, halfH = v.mFrame.size.height / 2;
        AffineTransform toCentre{1, 0, 0, 1, -halfW, -halfH};
        AffineTransform place{1, 0, 0, 1, v.mFrame.origin.x + halfW, v.mFrame.origin.y + halfH};
        return toCentre.concat(v.mTransform).concat(place);
    }

    static void collect(const std::shared_ptr<const View>& v, const AffineTransform& toRoot, double alpha,
                        std::vector<DrawItem>& items) {
        if (v->mHidden || v->mAlpha <= 0) return;
        double combined = alpha * std::clamp(v->mAlpha, 0.0, 1.0);
        items.push_back({v, toRoot, combined, v->mFrame.size, v->mBackgroundColor});
        for (const auto& sub : v->mSubviews) collect(sub, toSuperview(*sub).concat(toRoot), combined, items);
    }

    static std::shared_ptr<Image> content(const View& v) { return v.contentImage(); }
    static Size sizeOf(const View& v) { return v.mFrame.size; }

    static bool isAncestor(const View* candidate, const View* of) {
        for (auto p = of->mSuperview.lock(); p; p = p->mSuperview.lock())
            if (p.get() == candidate) return true;
        return false;
    }

    static void detach(View& v) {
        auto parent = v.mSuperview.lock();
        if (!parent) return;
        auto& list = parent->mSubviews;
        list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& s) { return s.get() == &v; }), list.end());
        v.mSuperview.reset();
    }
};

namespace {

struct Inverse {
    bool valid = false;
    AffineTransform t;
};

Inverse invert(const AffineTransform& m) {
    double det = m.a * m.d - m.b * m.c;
    if (std::abs(det) < 1e-12) return {};
    AffineTransform r;
    r.a = m.d / det;
    r.b = -m.b / det;
    r.c = -m.c / det;
    r.d = m.a / det;
    r.tx = -(r.a * m.tx + r.c * m.ty);
    r.ty = -(r.b * m.tx + r.d * m.ty);
    return {true, r};
}

// Premultiplied colour, 0 ... 1.
struct Premultiplied {
    double r = 0, g = 0, b = 0, a = 0;
};

// Bilinear sample of a straight-alpha BGRA image at pixel coordinates (centres at +0.5).
Premultiplied sample(const PixelBuffer& image, double x, double y) {
    double fx = x - 0.5, fy = y - 0.5;
    int x0 = static_cast<int>(std::floor(fx)), y0 = static_cast<int>(std::floor(fy));
    double wx = fx - x0, wy = fy - y0;
    Premultiplied sum;
    const std::uint8_t* base = image.planeData(0);
    std::size_t stride = image.bytesPerRow(0);
    for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
            int px = std::clamp(x0 + i, 0, image.width() - 1);
            int py = std::clamp(y0 + j, 0, image.height() - 1);
            double w = (i ? wx : 1 - wx) * (j ? wy : 1 - wy);
            const std::uint8_t* p = base + static_cast<std::size_t>(py) * stride + static_cast<std::size_t>(px) * 4;
            double a = p[3] / 255.0;
            sum.r += w * a * p[2] / 255.0;
            sum.g += w * a * p[1] / 255.0;
            sum.b += w * a * p[0] / 255.0;
            sum.a += w * a;
        }
    }
    return sum;
}

void blend(std::uint8_t* dst, const Premultiplied& src) {
    double keep = 1 - src.a;
    auto channel = [&](int i, double value) {
        double v = value * 255.0 + dst[i] * keep;
        dst[i] = static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
    };
    channel(0, src.r);
    channel(1, src.g);
    channel(2, src.b);
    channel(3, src.a);
}

void drawItem(RGBABitmap& bitmap, const ViewTree::DrawItem& item, const AffineTransform& rootToPixels) {
    if (item.size.width <= 0 || item.size.height <= 0) return;
    std::shared_ptr<Image> content = ViewTree::content(*item.view);
    if (!item.background && !content) return;
    AffineTransform toPixels = item.toRoot.concat(rootToPixels);
    Inverse inverse = invert(toPixels);
    if (!inverse.valid) return;
    // The pixels the view's rectangle can touch.
    double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
    for (Point corner : {Point{0, 0}, Point{item.size.width, 0}, Point{0, item.size.height},
                         Point{item.size.width, item.size.height}}) {
        Point p = toPixels.apply(corner);
        minX = std::min(minX, p.x);
        minY = std::min(minY, p.y);
        maxX = std::max(maxX, p.x);
        maxY = std::max(maxY, p.y);
    }
    int x0 = std::max(0, static_cast<int>(std::floor(minX))), y0 = std::max(0, static_cast<int>(std::floor(minY)));
    int x1 = std::min(bitmap.width, static_cast<int>(std::ceil(maxX)));
    int y1 = std::min(bitmap.height, static_cast<int>(std::ceil(maxY)));
    Premultiplied background;
    if (item.background) {
        double a = std::clamp(item.background->alpha, 0.0, 1.0) * item.alpha;
        background = {item.background->red * a, item.background->green * a, item.background->blue * a, a};
    }
    const PixelBuffer* pixels = content ? content->pixelBuffer().get() : nullptr;
    for (int y = y0; y < y1; ++y) {
        std::uint8_t* row = bitmap.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(bitmap.width) * 4;
        for (int x = x0; x < x1; ++x) {
            Point local = inverse.t.apply({x + 0.5, y + 0.5});
            if (local.x < 0 || local.y < 0 || local.x >= item.size.width || local.y >= item.size.height) continue;
            std::uint8_t* dst = row + static_cast<std::size_t>(x) * 4;
            if (item.background) blend(dst, background);
            if (pixels) {
                Premultiplied c = sample(*pixels, local.x / item.size.width * pixels->width(),
                                         local.y / item.size.height * pixels->height());
                c.r *= item.alpha;
                c.g *= item.alpha;
                c.b *= item.alpha;
                c.a *= item.alpha;
                blend(dst, c);
            }
        }
    }
}

} // namespace

RGBABitmap renderViewHierarchy(const View& root, int width, int height) {
    RGBABitmap bitmap;
    bitmap.width = std::max(0, width);
    bitmap.height = std::max(0, height);
    bitmap.pixels.assign(static_cast<std::size_t>(bitmap.width) * static_cast<std::size_t>(bitmap.height) * 4, 0);
    std::vector<ViewTree::DrawItem> items;
    Size rootSize;
    {
        std::lock_guard lock(ViewTree::mutex());
        rootSize = ViewTree::sizeOf(root);
        // The root is drawn in its own coordinates: its transform belongs to its superview's picture.
        ViewTree::collect(root.shared_from_this(), AffineTransform::identity(), 1.0, items);
    }
    if (rootSize.width <= 0 || rootSize.height <= 0 || items.empty()) return bitmap;
    AffineTransform rootToPixels{bitmap.width / rootSize.width, 0, 0, bitmap.height / rootSize.height, 0, 0};
    // Contents are produced outside the lock: a view's content may have to wait for another thread.
    for (const auto& item : items) drawItem(bitmap, item, rootToPixels);
    return bitmap;
}

// --- View ---

View::View(Rect frame) : mFrame(frame) {}
View::~View() = default;

std::shared_ptr<View> View::create(Rect frame) { return std::shared_ptr<View>(new View(frame)); }

Rect View::frame() const {
    std::lock_guard lock(ViewTree::mutex());
    return mFrame;
}

void View::setFrame(Rect frame) {
    std::lock_guard lock(ViewTree::mutex());
    Size old = mFrame.size;
    mFrame = frame;
    if (old == frame.size) return;
    double dw = frame.size.width - old.width, dh = frame.size.height - old.height;
    for (const auto& sub : mSubviews) {
        Rect f = sub->mFrame;
        if (sub->mAutoresizingMask & ViewAutoresizingFlexibleWidth) f.size.width = std::max(0.0, f.size.width + dw);
        if (sub->mAutoresizingMask & ViewAutoresizingFlexibleHeight) f.size.height = std::max(0.0, f.size.height + dh);
        if (!(f == sub->mFrame)) sub->setFrame(f);
    }
    boundsDidChange(frame.size);
}

Rect View::bounds() const {
    std::lock_guard lock(ViewTree::mutex());
    return {{0, 0}, mFrame.size};
}

AffineTransform View::transform() const {
    std::lock_guard lock(ViewTree::mutex());
    return mTransform;
}

void View::setTransform(AffineTransform transform) {
    std::lock_guard lock(ViewTree::mutex());
    mTransform = transform;
}

double View::alpha() const {
    std::lock_guard lock(ViewTree::mutex());
    return mAlpha;
}

void View::setAlpha(double alpha) {
    std::lock_guard lock(ViewTree::mutex());
    mAlpha = std::isnan(alpha) ? 0.0 : std::clamp(alpha, 0.0, 1.0);
}

bool View::hidden() const {
    std::lock_guard lock(ViewTree::mutex());
    return mHidden;
}

void View::setHidden(bool hidden) {
    std::lock_guard lock(ViewTree::mutex());
    mHidden = hidden;
}

std::optional<Color> View::backgroundColor() const {
    std::lock_guard lock(ViewTree::mutex());
    return mBackgroundColor;
}

void View::setBackgroundColor(std::optional<Color> color) {
    std::lock_guard lock(ViewTree::mutex());
    mBackgroundColor = color;
}

unsigned View::autoresizingMask() const {
    std::lock_guard lock(ViewTree::mutex());
    return mAutoresizingMask;
}

void View::setAutoresizingMask(unsigned mask) {
    std::lock_guard lock(ViewTree::mutex());
    mAutoresizingMask = mask;
}

std::vector<std::shared_ptr<View>> View::subviews() const {
    std::lock_guard lock(ViewTree::mutex());
    return mSubviews;
}

std::shared_ptr<View> View::superview() const {
    std::lock_guard lock(ViewTree::mutex());
    return mSuperview.lock();
}

void View::addSubview(const std::shared_ptr<View>& view) { insertSubview(view, static_cast<std::size_t>(-1)); }

void View::insertSubview(const std::shared_ptr<View>& view, std::size_t index) {
    if (!view || view.get() == this) return;
    std::lock_guard lock(ViewTree::mutex());
    if (ViewTree::isAncestor(view.get(), this)) return;
    bool hadSuperview = !view->mSuperview.expired();
    ViewTree::detach(*view);
    index = std::min(index, mSubviews.size());
    mSubviews.insert(mSubviews.begin() + static_cast<std::ptrdiff_t>(index), view);
    view->mSuperview = weak_from_this();
    if (!hadSuperview) view->superviewDidChange(true);
}

void View::removeFromSuperview() {
    // Keeps the view alive while it leaves its superview's list.
    auto self = shared_from_this();
    std::lock_guard lock(ViewTree::mutex());
    if (mSuperview.expired()) return;
    ViewTree::detach(*this);
    superviewDidChange(false);
}

std::shared_ptr<Image> View::snapshotImage() const {
    Size size = bounds().size;
    if (size.width <= 0 || size.height <= 0) return nullptr;
    int width = std::max(1, static_cast<int>(std::lround(size.width)));
    int height = std::max(1, static_cast<int>(std::lround(size.height)));
    RGBABitmap bitmap = renderViewHierarchy(*this, width, height);
    auto buffer = PixelBuffer::create(width, height, PixelFormat::BGRA);
    if (!buffer) return nullptr;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = bitmap.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 4;
        std::uint8_t* dst = buffer->planeData(0) + static_cast<std::size_t>(y) * buffer->bytesPerRow(0);
        for (int x = 0; x < width; ++x, src += 4, dst += 4) {
            int a = src[3];
            auto straight = [a](int c) { return a ? static_cast<std::uint8_t>(std::min(255, (c * 255 + a / 2) / a)) : 0; };
            dst[0] = straight(src[2]);
            dst[1] = straight(src[1]);
            dst[2] = straight(src[0]);
            dst[3] = static_cast<std::uint8_t>(a);
        }
    }
    return Image::create(std::move(buffer));
}

// --- ImageView ---

ImageView::ImageView(std::shared_ptr<Image> image, Rect frame) : View(frame), mImage(std::move(image)) {}

std::shared_ptr<ImageView> ImageView::create(std::shared_ptr<Image> image, Rect frame) {
    return std::shared_ptr<ImageView>(new ImageView(std::move(image), frame));
}

std::shared_ptr<Image> ImageView::image() const {
    std::lock_guard lock(ViewTree::mutex());
    return mImage;
}

void ImageView::setImage(std::shared_ptr<Image> image) {
    std::lock_guard lock(ViewTree::mutex());
    mImage = std::move(image);
}

std::shared_ptr<Image> ImageView::contentImage() const { return image(); }

// --- Image ---

std::shared_ptr<Image> Image::create(std::shared_ptr<const PixelBuffer> bgra, double scale) {
    if (!bgra || bgra->format() != PixelFormat::BGRA || !(scale > 0)) return nullptr;
    return std::shared_ptr<Image>(new Image(std::move(bgra), scale));
}

std::shared_ptr<Image> Image::imageWithContentsOfFile(const std::string& path, std::string* error) {
    std::string reason;
    auto pixels = decodeImageFile(path, &reason);
    if (!pixels) {
        if (error) *error = reason;
        return nullptr;
    }
    return create(std::move(pixels));
}

bool Image::writePNGToFile(const std::string& path, std::string* error) const {
    return writePngFile(*mPixels, path, error);
}

} // namespace platform
