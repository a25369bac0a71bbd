#pragma once

namespace loopstage::graphics {

// Four 32-bit floats, read as a colour, a point or an array: one 16-byte value.
// Anonymous structs in a union are a GNU/Clang extension that both compilers document and
// support; they give the r/g/b/a and x/y/z/w spellings over one storage.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
union Vector4 {
    struct {
        float r, g, b, a;
    };
    struct {
        float x, y, z, w;
    };
    float pVec[4];
};
#pragma GCC diagnostic pop

static_assert(sizeof(Vector4) == 16);

// Element-wise arithmetic. Element i is stored before element i + 1 is read, so the destination
// may be either operand. Division by a zero element gives that element's float infinity or NaN.
void add(Vector4* destination, const Vector4* left, const Vector4* right);
void sub(Vector4* destination, const Vector4* left, const Vector4* right);
void mul(Vector4* destination, const Vector4* left, const Vector4* right);
void div(Vector4* destination, const Vector4* left, const Vector4* right);

}  // namespace loopstage::graphics
