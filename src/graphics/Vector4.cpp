#include "graphics/Vector4.h"

namespace loopstage::graphics {

namespace {

template <typename Op>
void elementWise(Vector4* destination, const Vector4* left, const Vector4* right, Op op) {
    // Read and store one element at a time: an aliased destination must see its own updates.
    for (int i = 0; i < 4; ++i) {
        const float l = left->pVec[i];
        const float r = right->pVec[i];
        destination->pVec[i] = op(l, r);
    }
}

}  // namespace

void add(Vector4* d, const Vector4* l, const Vector4* r) {
    elementWise(d, l, r, [](float a, float b) { return a + b; });
}
void sub(Vector4* d, const Vector4* l, const Vector4* r) {
    elementWise(d, l, r, [](float a, float b) { return a - b; });
}
void mul(Vector4* d, const Vector4* l, const Vector4* r) {
    elementWise(d, l, r, [](float a, float b) { return a * b; });
}
void div(Vector4* d, const Vector4* l, const Vector4* r) {
    elementWise(d, l, r, [](float a, float b) { return a / b; });
}

}  // namespace loopstage::graphics
