#pragma once

#include <GL/gl.h>

#include <cstdint>
#include <memory>

namespace loopstage::textures {

class TexturePool;

// One frame as an OpenGL texture, handed out by a TextureVisualContext and held through
// TextureBufferRef (shared ownership; the texture goes back to its pool when the last holder,
// including a drawing in progress, lets go).
//
// Threads: created on the thread that takes the frame; target() and cleanTexCoords() may be
// read on any thread; name() only with a context current that shares objects with the view's
// shared context (the drawing context, under the view's lock). The picture is uploaded there the
// first time name() is asked for, so a take copies no picture data.
class TextureBuffer {
public:
    struct TexCoord {
        float s = 0, t = 0;
    };

    TextureBuffer(std::shared_ptr<TexturePool> pool, int slot, int64_t serial, int64_t timeNs,
                  int64_t loopIteration, int rotationDegrees);
    ~TextureBuffer();
    TextureBuffer(const TextureBuffer&) = delete;
    TextureBuffer& operator=(const TextureBuffer&) = delete;

    GLenum target() const { return GL_TEXTURE_2D; }
    GLuint name();
    // Corners of the clean picture as it is meant to be seen (a clip's rotation applied),
    // lower-left, lower-right, upper-right, upper-left.
    void cleanTexCoords(TexCoord* lowerLeft, TexCoord* lowerRight, TexCoord* upperRight,
                        TexCoord* upperLeft) const;
    int64_t serial() const { return serial_; }
    // The frame's unwrapped movie time and the pass of the loop it belongs to.
    int64_t timeNs() const { return timeNs_; }
    int64_t loopIteration() const { return loopIteration_; }
    int slot() const { return slot_; }

private:
    std::shared_ptr<TexturePool> pool_;
    int slot_ = -1;
    int64_t serial_ = 0;
    int64_t timeNs_ = 0;
    int64_t loopIteration_ = 0;
    int rotationDegrees_ = 0;
};

using TextureBufferRef = std::shared_ptr<TextureBuffer>;

}  // namespace loopstage::textures
