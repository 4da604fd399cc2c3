// Plain geometry records. y points up, so a rectangle has top >= bottom.
#ifndef TVK_PLATFORM_EGEOMETRY_H
#define TVK_PLATFORM_EGEOMETRY_H

#include "platform/eExport.h"

namespace TVK {

struct ePoint2D {
    double x = 0.0, y = 0.0;
    ePoint2D() = default;
    ePoint2D(double px, double py) : x(px), y(py) {}
};

struct eSize2D {
    double width = 0.0, height = 0.0;
    eSize2D() = default;
    eSize2D(double w, double h) : width(w), height(h) {}
};

struct eRect2D {
    double left = 0.0, top = 0.0, right = 0.0, bottom = 0.0;
    eRect2D() = default;
    eRect2D(double l, double t, double r, double b) : left(l), top(t), right(r), bottom(b) {}
    // The empty rectangle is inverted (left > right, bottom > top), so any
    // union with a real rectangle yields that rectangle.
    void SetEmpty() {
        left = 1.0;
        right = -1.0;
        top = -1.0;
        bottom = 1.0;
    }
    bool IsEmpty() const { return left > right || bottom > top; }
    double Width() const { return right - left; }
    double Height() const { return top - bottom; }
};

template <typename T>
struct eVector2T {
    T x{}, y{};
    eVector2T() = default;
    eVector2T(T px, T py) : x(px), y(py) {}
};

template <typename T>
struct eVector3T {
    T x{}, y{}, z{};
    eVector3T() = default;
    eVector3T(T px, T py, T pz) : x(px), y(py), z(pz) {}
};

enum eSceneMode { eSceneFlat = 0, eSceneGlobe = 1 };

}  // namespace TVK

#endif
