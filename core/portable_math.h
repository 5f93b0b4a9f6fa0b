// Elementary functions built from the operations IEEE 754 rounds exactly
// (+, -, *, /, sqrt) and from exact ones (floor, frexp, ldexp), evaluated in
// a fixed order. The system's libm may give results that differ in the last
// bit between library versions or between its FMA and non-FMA variants;
// these give the same bits on every machine that computes in IEEE double
// without contraction (the build turns contraction off). They are accurate to
// a few units in the last place, which is all that random draws and phantom
// geometry need.
#pragma once

namespace portable {

// e^x; 0 below about -745, +infinity above about 709.7.
double exp(double x);
// Natural logarithm of x > 0 (finite); -infinity at 0, NaN below 0.
double log(double x);
// Sine and cosine of an angle given in degrees; the angle is reduced
// exactly to [-45, 45] degrees first, so whole multiples of 90 degrees give
// exact zeros and ones.
void sin_cos_degrees(double degrees, double& sine, double& cosine);
// Arctangent in radians, in (-pi/2, pi/2); NaN for NaN.
double atan(double x);

}  // namespace portable
