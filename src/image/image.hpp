// SimpleImage: the image record, its attributes, construction and copying.
#pragma once

#include <cstdint>

#include "runtime/function.hpp"

namespace si::image {

struct ImageObject {
    PyObject_HEAD
    int32_t width;
    int32_t height;
    PyObject* pixels;  // exactly a bytearray, or None
};

extern PyTypeObject SimpleImageType;

bool readyImageType() noexcept;
bool initPixelAccess() noexcept;

// SimpleImage(width, height, pixels) for a `pixels` bytearray that nothing else references:
// the same checks and errors as the constructor, but the buffer is taken instead of copied
// (no one can tell the difference). Used when an image is made from a decoder's result.
Ref newImageTaking(PyObject* width, PyObject* height, Ref pixels) noexcept;

// The methods, in the order they are installed on the class.
extern const FunctionSpec kStreamToImageSpec;
extern const FunctionSpec kOpenSpec;
extern const FunctionSpec kGetPixelSpec;
extern const FunctionSpec kPutPixelSpec;
extern const FunctionSpec kCopySpec;
extern const FunctionSpec kSaveSpec;
extern const FunctionSpec kSaveBmpSpec;
extern const FunctionSpec kReduceSpec;
extern const FunctionSpec kSetStateSpec;

}  // namespace si::image
