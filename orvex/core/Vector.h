#pragma once
// Vectors of doubles: the fixed-size Vector2, Vector3 and Vector4 (plain values on
// the stack, zero when default-constructed) and the run-time-length Vector.
// operator[] reaches the components through a table of member pointers, which is
// defined for every valid index, unlike pointer arithmetic from &x.

#include <cmath>
#include <cstddef>
#include <vector>

namespace orvex {

// A point or direction in the plane: x then y.
struct Vector2 {
    double x = 0.0;
    double y = 0.0;

    constexpr Vector2() = default;
    constexpr Vector2(double x_, double y_) : x(x_), y(y_) {}

    static constexpr int size() { return 2; }
    double& operator[](int i) { return this->*kComponents[i]; }
    double operator[](int i) const { return this->*kComponents[i]; }

    Vector2& operator+=(const Vector2& o) { x += o.x; y += o.y; return *this; }
    Vector2& operator-=(const Vector2& o) { x -= o.x; y -= o.y; return *this; }
    Vector2& operator*=(double s) { x *= s; y *= s; return *this; }

private:
    static constexpr double Vector2::*kComponents[2] = {&Vector2::x, &Vector2::y};
};

// A point, translation or angle triple: x, y, z.
struct Vector3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;

    constexpr Vector3() = default;
    constexpr Vector3(double x_, double y_, double z_) : x(x_), y(y_), z(z_) {}

    static constexpr int size() { return 3; }
    double& operator[](int i) { return this->*kComponents[i]; }
    double operator[](int i) const { return this->*kComponents[i]; }

    Vector3& operator+=(const Vector3& o) { x += o.x; y += o.y; z += o.z; return *this; }
    Vector3& operator-=(const Vector3& o) { x -= o.x; y -= o.y; z -= o.z; return *this; }
    Vector3& operator*=(double s) { x *= s; y *= s; z *= s; return *this; }

private:
    static constexpr double Vector3::*kComponents[3] = {&Vector3::x, &Vector3::y, &Vector3::z};
};

// Four doubles: x, y, z, w.
struct Vector4 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double w = 0.0;

    constexpr Vector4() = default;
    constexpr Vector4(double x_, double y_, double z_, double w_) : x(x_), y(y_), z(z_), w(w_) {}

    static constexpr int size() { return 4; }
    double& operator[](int i) { return this->*kComponents[i]; }
    double operator[](int i) const { return this->*kComponents[i]; }

private:
    static constexpr double Vector4::*kComponents[4] = {&Vector4::x, &Vector4::y, &Vector4::z, &Vector4::w};
};

static_assert(sizeof(Vector2) == 2 * sizeof(double), "Vector2 must be two packed doubles");
static_assert(sizeof(Vector3) == 3 * sizeof(double), "Vector3 must be three packed doubles");
static_assert(sizeof(Vector4) == 4 * sizeof(double), "Vector4 must be four packed doubles");

inline Vector2 operator+(Vector2 a, const Vector2& b) { return a += b; }
inline Vector2 operator-(Vector2 a, const Vector2& b) { return a -= b; }
inline Vector2 operator-(const Vector2& a) { return {-a.x, -a.y}; }
inline Vector2 operator*(Vector2 a, double s) { return a *= s; }
inline Vector2 operator*(double s, Vector2 a) { return a *= s; }
inline double dot(const Vector2& a, const Vector2& b) { return a.x * b.x + a.y * b.y; }
inline double norm(const Vector2& a) { return std::sqrt(dot(a, a)); }

inline Vector3 operator+(Vector3 a, const Vector3& b) { return a += b; }
inline Vector3 operator-(Vector3 a, const Vector3& b) { return a -= b; }
inline Vector3 operator-(const Vector3& a) { return {-a.x, -a.y, -a.z}; }
inline Vector3 operator*(Vector3 a, double s) { return a *= s; }
inline Vector3 operator*(double s, Vector3 a) { return a *= s; }
inline double dot(const Vector3& a, const Vector3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline double norm(const Vector3& a) { return std::sqrt(dot(a, a)); }
// a × b
inline Vector3 cross(const Vector3& a, const Vector3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// A run-time-length vector of doubles; its only state is the standard vector it
// derives from, so it is sized and resized like one. Vector(n) holds n zeros.
class Vector : public std::vector<double> {
public:
    using std::vector<double>::vector;
};

} // namespace orvex
