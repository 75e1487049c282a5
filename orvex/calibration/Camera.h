#pragma once
// One calibrated camera: the pinhole model with radial, tangential and prismatic
// distortion, or the VRO model whose rays need not pass through one centre.
//
// Normalised position of a pixel (u, v):
//   y_n = (v − cy) / fy,   x_n = (u − cx − skew·y_n) / fx
// and pinhole pixel of a normalised (x, y): (fx·x + skew·y + cx, fy·y + cy).
// A camera is a plain value holding exactly one CameraData.

#include "orvex/calibration/CameraData.h"
#include "orvex/core/FixedMatrix.h"
#include "orvex/core/Vector.h"

namespace orvex {

class Camera {
public:
    // A reset record given that type.
    explicit Camera(CameraType type);
    explicit Camera(const CameraData& data);
    // Set up for calibration from intrinsics and settings: the orders, the fixed
    // flags and, for a positive aspect ratio, fx and fy tied by it.
    Camera(double cx, double cy, double fx, double fy, double skew, const ImagingSystemSettings& settings);

    const CameraData& getRawData() const { return data_; }
    // An intrinsic (cx, cy, fx or fy) is unset.
    bool isNull() const;

    // Out-of-range orders store 0; the tangential and prismatic counts are twice the order.
    void setRadialDistortionOrder(int order);
    void setTangentialDistortionOrder(int order);
    void setPrismaticDistortionOrder(int order);
    // The radial order becomes the index of the last non-zero coefficient (NaN counts).
    void setRadialDistortion(double k1, double k2, double k3);
    // Intrinsics from the sensor geometry: pixel sizes and focal length in one unit,
    // axisAngle the departure of the sensor axes from a right angle in degrees, the
    // offsets the principal point relative to the image centre as fractions of its
    // size. False, with nothing changed, for an empty image, a non-positive or
    // non-finite size or focal length, or degenerate axes.
    bool setPhysicalParameters(int width, int height, double pixelWidth, double pixelHeight, double axisAngle,
                               double focalLength, double offsetX, double offsetY);

    // With r² = x² + y², R = k0·r² + k1·r⁴ + k2·r⁶, T0 = t0 + t2·r², T1 = t1 + t3·r²:
    //   x' = x + x·R + 2·T0·x·y + T1·(r² + 2x²) + s0·r² + s2·r⁴
    //   y' = y + y·R + 2·T1·x·y + T0·(r² + 2y²) + s1·r² + s3·r⁴
    static Vector2 distortR3D2P2(const Vector2& position, const double* radial, const double* tangential,
                                 const double* prismatic);
    // Adds to x the polynomial a[0..11]·(x², xy, y², x³, x²y, xy², y³, x⁴, x³y, x²y², xy³, y⁴)
    // and to y the same terms with a[12..23].
    static Vector2 distort4thPoly(const Vector2& position, const double* coefficients);
    // As distort4thPoly with the degree-5 terms x⁵ … y⁵ appended: a[0..17] for x, a[18..35] for y.
    static Vector2 distort5thPoly(const Vector2& position, const double* coefficients);
    // Gauss-Newton normal matrix JᵀJ and gradient Jᵀr of r = distortR3D2P2(position) − target
    // (forward differences, step 1e-4); returns |r|².
    static double hessianAir(Matrix2x2& normal, Vector2& gradient, const Vector2& position, const Vector2& target,
                             const double* radial, const double* tangential, const double* prismatic);
    // Replaces a distorted position by the one whose distortion it is (Levenberg-Marquardt,
    // at most 101 trials). True when the accepted residual is finite and within tolerance;
    // the position is the last accepted estimate either way.
    static bool undistortR3D2P2(Vector2& position, const double* radial, const double* tangential,
                                const double* prismatic, double tolerance);

    // The viewing ray of a pixel in the camera frame; the direction has z = 1.
    void ray(const Vector2& pixel, Vector3& origin, Vector3& direction) const;
    // The pixel of a camera-frame point; (0, 0) for z = 0 or a VRO point without solution.
    Vector2 project(const Vector3& point) const;
    // The same, telling a failure (z = 0, no VRO solution, a non-finite pixel) apart
    // from a pixel; the pixel is written as project gives it.
    bool tryProject(Vector2& pixel, const Vector3& point) const;

    // A record of this camera's shape whose free-parameter fields hold the values in
    // the order of the calibration parameters; fields without an entry are 0.
    CameraData getAssociatedConfidence(const Vector& values) const;

private:
    Vector2 normalise(const Vector2& pixel) const;
    bool hasPinholeDistortion() const {
        return data_.numRadial != 0 || data_.numTangential != 0 || data_.numPrismatic != 0;
    }
    bool projectVro(Vector2& pixel, const Vector3& point) const;

    CameraData data_;
};

} // namespace orvex
