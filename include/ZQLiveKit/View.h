#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>
#include "ZQLiveKit/Export.h"
#include "ZQLiveKit/Image.h"
#include "ZQPlatform/Geometry.h"

namespace platform {

// Geometry of the view model (CGPoint, CGRect, CGAffineTransform). Plain values.
struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Rect {
    Point origin;
    Size size;
    double width() const { return size.width; }
    double height() const { return size.height; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

inline Rect makeRect(double x, double y, double width, double height) { return {{x, y}, {width, height}}; }

// x' = a x + c y + tx, y' = b x + d y + ty.
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    static AffineTransform identity() { return {}; }
    // CGAffineTransformScale: this transform with a scale applied first.
    AffineTransform scaled(double sx, double sy) const { return {a * sx, b * sx, c * sy, d * sy, tx, ty}; }
    // CGAffineTransformConcat(this, other): this one first, then other.
    AffineTransform concat(const AffineTransform& o) const {
        return {a * o.a + b * o.c,        a * o.b + b * o.d,        c * o.a + d * o.c,
                c * o.b + d * o.d,        tx * o.a + ty * o.c + o.tx, tx * o.b + ty * o.d + o.ty};
    }
    Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
    bool isIdentity() const { return *this == AffineTransform{}; }
    friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

// Straight-alpha colour, each channel 0 ... 1.
struct Color {
    double red = 0, green = 0, blue = 0, alpha = 1;
    friend bool operator==(const Color&, const Color&) = default;
};

// UIViewAutoresizing.
enum ViewAutoresizing : unsigned {
    ViewAutoresizingNone = 0,
    ViewAutoresizingFlexibleLeftMargin = 1,
    ViewAutoresizingFlexibleWidth = 2,
    ViewAutoresizingFlexibleRightMargin = 4,
    ViewAutoresizingFlexibleTopMargin = 8,
    ViewAutoresizingFlexibleHeight = 16,
    ViewAutoresizingFlexibleBottomMargin = 32,
};

// The stand-in for a mobile OS view: a rectangle in its superview (frame), a transform applied about
// its centre, an alpha, an optional background colour and ordered subviews (later ones on top). There
// is no screen: a view hierarchy is seen through snapshotImage(), and the kit's preview view renders
// its pictures off-screen. Every operation may be called from any thread; the whole view tree is
// guarded by one lock, which is never held while a view's content is produced.
class ZQLIVEKIT_EXPORT View : public std::enable_shared_from_this<View> {
public:
    static std::shared_ptr<View> create(Rect frame = {});
    virtual ~View();
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    // The rectangle in the superview's coordinates, before the transform. Setting it resizes the
    // subviews that have flexible width or height.
    Rect frame() const;
    void setFrame(Rect frame);
    // The view's own coordinates: origin (0, 0), the frame's size.
    Rect bounds() const;
    AffineTransform transform() const;
    void setTransform(AffineTransform transform);
    double alpha() const;
    void setAlpha(double alpha);
    bool hidden() const;
    void setHidden(bool hidden);
    std::optional<Color> backgroundColor() const;
    void setBackgroundColor(std::optional<Color> color);
    unsigned autoresizingMask() const;
    void setAutoresizingMask(unsigned mask);

    std::vector<std::shared_ptr<View>> subviews() const;
    std::shared_ptr<View> superview() const;
    // Adds on top (or at the index, clamped), first taking the view out of its old superview.
    // Adding a view to itself or to one of its own subviews is ignored.
    void addSubview(const std::shared_ptr<View>& view);
    void insertSubview(const std::shared_ptr<View>& view, std::size_t index);
    void removeFromSuperview();

    // The view and its subviews as they would appear, in a picture of the bounds' size (one pixel a
    // point, at least 1x1), outside the background transparent. Its own transform is not applied;
    // subviews' transforms are. nullptr for an empty bounds.
    std::shared_ptr<Image> snapshotImage() const;

protected:
    explicit View(Rect frame);
    // What the view itself shows, stretched over its bounds (nullptr: only its background). Called
    // without the view lock held, on the thread that asked for the picture.
    virtual std::shared_ptr<Image> contentImage() const { return nullptr; }
    // Told, with the view lock held, when the view's bounds or its superview changed; an override
    // may only record the new values (under a lock of its own) and must not call into other views.
    virtual void boundsDidChange(Size size) { (void)size; }
    virtual void superviewDidChange(bool hasSuperview) { (void)hasSuperview; }

private:
    friend struct ViewTree;
    Rect mFrame;
    AffineTransform mTransform;
    double mAlpha = 1;
    bool mHidden = false;
    std::optional<Color> mBackgroundColor;
    unsigned mAutoresizingMask = ViewAutoresizingNone;
    std::vector<std::shared_ptr<View>> mSubviews;
    std::weak_ptr<View> mSuperview;
};

// UIImageView: shows an image stretched over its bounds.
class ZQLIVEKIT_EXPORT ImageView : public View {
public:
    static std::shared_ptr<ImageView> create(std::shared_ptr<Image> image, Rect frame);
    std::shared_ptr<Image> image() const;
    void setImage(std::shared_ptr<Image> image);

protected:
    ImageView(std::shared_ptr<Image> image, Rect frame);
    std::shared_ptr<Image> contentImage() const override;

private:
    std::shared_ptr<Image> mImage;
};

} // namespace platform
