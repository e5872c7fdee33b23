// mathlib.cpp: the C math library, loaded on its first use instead of at
// every start of the program.
//
// Only the archives linked into the program call it: SQLite's SQL math
// functions (pow, log, sin, ...) and FastCGI's frexp. A library named at
// link time is mapped and relocated by the loader at every start, which for
// libm costs a CGI request about 11 page faults and 20,000 instructions,
// a tenth of a hello page's time. The definitions below take the archives'
// references (the program links with --as-needed, so libm is then not
// loaded at start); the first call of any of them opens libm, and each
// forwards to libm's own function, so results and errno are libm's.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace {

// The library's function of this name; the program cannot go on without it.
void* mathFunction(const char* name) {
  static void* const library = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
  void* f = library != nullptr ? dlsym(library, name) : nullptr;
  if (f == nullptr) {
    std::fprintf(stderr, "braxel: %s of the math library (libm.so.6) cannot be loaded\n", name);
    std::abort();
  }
  return f;
}

using Unary = double (*)(double);
using Binary = double (*)(double, double);

double unary(Unary* f, const char* name, double x) {
  if (*f == nullptr) *f = reinterpret_cast<Unary>(mathFunction(name));
  return (*f)(x);
}

double binary(Binary* f, const char* name, double x, double y) {
  if (*f == nullptr) *f = reinterpret_cast<Binary>(mathFunction(name));
  return (*f)(x, y);
}

Unary acosF, acoshF, asinF, asinhF, atanF, atanhF, cosF, coshF, expF, logF, sinF, sinhF, sqrtF,
    tanF, tanhF, truncF;
Binary atan2F, fmodF, powF;
double (*frexpF)(double, int*);

}  // namespace

extern "C" {
double acos(double x) noexcept { return unary(&acosF, "acos", x); }
double acosh(double x) noexcept { return unary(&acoshF, "acosh", x); }
double asin(double x) noexcept { return unary(&asinF, "asin", x); }
double asinh(double x) noexcept { return unary(&asinhF, "asinh", x); }
double atan(double x) noexcept { return unary(&atanF, "atan", x); }
double atanh(double x) noexcept { return unary(&atanhF, "atanh", x); }
double cos(double x) noexcept { return unary(&cosF, "cos", x); }
double cosh(double x) noexcept { return unary(&coshF, "cosh", x); }
double exp(double x) noexcept { return unary(&expF, "exp", x); }
double log(double x) noexcept { return unary(&logF, "log", x); }
double sin(double x) noexcept { return unary(&sinF, "sin", x); }
double sinh(double x) noexcept { return unary(&sinhF, "sinh", x); }
double sqrt(double x) noexcept { return unary(&sqrtF, "sqrt", x); }
double tan(double x) noexcept { return unary(&tanF, "tan", x); }
double tanh(double x) noexcept { return unary(&tanhF, "tanh", x); }
double trunc(double x) noexcept { return unary(&truncF, "trunc", x); }
double atan2(double y, double x) noexcept { return binary(&atan2F, "atan2", y, x); }
double fmod(double x, double y) noexcept { return binary(&fmodF, "fmod", x, y); }
double pow(double x, double y) noexcept { return binary(&powF, "pow", x, y); }
double frexp(double x, int* exponent) noexcept {
  if (frexpF == nullptr) frexpF = reinterpret_cast<double (*)(double, int*)>(mathFunction("frexp"));
  return frexpF(x, exponent);
}
}
