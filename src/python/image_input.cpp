// Conversion of NumPy uint8 arrays into GrayImage, read through the buffer
// protocol so that any NumPy version and any memory layout is accepted.
#include <cstring>
#include <limits>

#include "image/channel_image.hpp"
#include "image/color.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"

namespace morvelin::py {
namespace {

bool is_uint8_format(const char* format) {
  if (!format) return true;  // no format means unsigned bytes
  if (*format == '@' || *format == '=' || *format == '<' || *format == '>' || *format == '|' || *format == '!') {
    ++format;
  }
  return format[0] == 'B' && format[1] == '\0';
}

std::string dtype_text(PyObject* array) {
  Ref dtype = Ref::steal(PyObject_GetAttrString(array, "dtype"));
  Ref text = Ref::steal(dtype ? PyObject_Str(dtype.get()) : nullptr);
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return "another dtype";
  }
  return utf8;
}

// Converts a row of a three-channel view whose pixels are not packed B, G, R
// triples into gray pixels, through `scratch`.
void convert_bgr_row(const char* row, Py_ssize_t width, Py_ssize_t column_stride, Py_ssize_t channel_stride,
                     Vec<std::uint8_t>& scratch, std::uint8_t* gray) {
  for (Py_ssize_t x = 0; x < width; ++x) {
    const char* pixel = row + x * column_stride;
    scratch[3 * x] = static_cast<std::uint8_t>(pixel[0]);
    scratch[3 * x + 1] = static_cast<std::uint8_t>(pixel[channel_stride]);
    scratch[3 * x + 2] = static_cast<std::uint8_t>(pixel[2 * channel_stride]);
  }
  bgr_to_gray(scratch.data(), static_cast<std::size_t>(width), gray);
}

void copy_gray_row(const char* row, Py_ssize_t width, Py_ssize_t column_stride, std::uint8_t* gray) {
  if (column_stride == 1) {
    std::memcpy(gray, row, static_cast<std::size_t>(width));
    return;
  }
  for (Py_ssize_t x = 0; x < width; ++x) gray[x] = static_cast<std::uint8_t>(row[x * column_stride]);
}

// Acquires the buffer of a uint8 NumPy array, or raises TypeError.
bool acquire_uint8_buffer(PyObject* obj, const char* name, Py_buffer& view) {
  if (!is_numpy_array(obj)) {
    if (PyErr_Occurred()) return prefix_argument_error(name);
    raise_formatted(PyExc_TypeError, "%s cannot be converted to a uint8 NumPy array", type_name(obj).c_str());
    return prefix_argument_error(name);
  }
  if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) != 0) return prefix_argument_error(name);
  if (view.itemsize != 1 || !is_uint8_format(view.format)) {
    PyBuffer_Release(&view);
    raise_formatted(PyExc_TypeError, "array of dtype %s cannot be converted to a uint8 image", dtype_text(obj).c_str());
    return prefix_argument_error(name);
  }
  return true;
}

// The shape rules of every image argument, in order; false with ValueError
// set when one fails.
bool check_image_shape(const Py_buffer& view) {
  if (view.ndim == 3 && view.shape[2] != 1 && view.shape[2] != 3) {
    raise(PyExc_ValueError, "image must have 1 or 3 channels");
    return false;
  }
  if (view.ndim != 2 && view.ndim != 3) {
    raise(PyExc_ValueError, "image must be 2D (gray) or 3D (BGR)");
    return false;
  }
  constexpr Py_ssize_t kLimit = std::numeric_limits<std::uint32_t>::max();
  if (view.shape[0] > kLimit || view.shape[1] > kLimit) {
    raise(PyExc_ValueError, "image is too large: width and height must each be below 2**32");
    return false;
  }
  return true;
}

// An image argument's buffer once it passed the type and shape checks,
// released with this object.
class ImageBuffer {
 public:
  ImageBuffer() = default;
  ImageBuffer(const ImageBuffer&) = delete;
  ImageBuffer& operator=(const ImageBuffer&) = delete;
  ~ImageBuffer() {
    if (acquired_) PyBuffer_Release(&view_);
  }
  bool acquire(PyObject* obj, const char* name) {
    acquired_ = acquire_uint8_buffer(obj, name, view_);
    return acquired_ && check_image_shape(view_);
  }
  const Py_buffer& view() const noexcept { return view_; }
  // Passes the held buffer on to `to`, which must release it.
  void hand_over(Py_buffer& to) noexcept {
    to = view_;
    acquired_ = false;
  }

 private:
  Py_buffer view_{};
  bool acquired_ = false;
};

}  // namespace

bool check_image_type(PyObject* obj, const char* name) {
  Py_buffer view;
  if (!acquire_uint8_buffer(obj, name, view)) return false;
  PyBuffer_Release(&view);
  return true;
}

GrayInput::GrayInput(GrayInput&& other) noexcept
    : buffer_(other.buffer_), held_(other.held_), copy_(std::move(other.copy_)), view_(other.view_) {
  other.held_ = false;
}

GrayInput::~GrayInput() {
  if (held_) PyBuffer_Release(&buffer_);
}

bool GrayInput::read(PyObject* obj, const char* name) {
  ImageBuffer buffer;
  if (!buffer.acquire(obj, name)) return false;
  const Py_buffer& view = buffer.view();
  const Py_ssize_t height = view.shape[0], width = view.shape[1];
  const bool bgr = view.ndim == 3 && view.shape[2] == 3;
  const auto w = static_cast<std::uint32_t>(width), h = static_cast<std::uint32_t>(height);
  // An empty image has no rows to read (its buffer may be null).
  if (w == 0 || h == 0) {
    view_ = GrayView(nullptr, w, h);
    return true;
  }
  const char* base = static_cast<const char*>(view.buf);
  if (!bgr && view.strides[1] == 1 && (height == 1 || view.strides[0] == width)) {
    view_ = GrayView(reinterpret_cast<const std::uint8_t*>(base), w, h);
    buffer.hand_over(buffer_);
    held_ = true;
    return true;
  }
  copy_.resize(static_cast<std::size_t>(w) * h);  // not cleared: every row is written below
  std::uint8_t* out = copy_.data();
  if (bgr && view.strides[1] == 3 && view.strides[2] == 1) {  // packed triples, any row stride
    bgr_rows_to_gray(reinterpret_cast<const std::uint8_t*>(base), view.strides[0], w, h, out);
  } else if (bgr) {
    Vec<std::uint8_t> scratch(3 * static_cast<std::size_t>(width));
    for (Py_ssize_t y = 0; y < height; ++y, out += w) {
      convert_bgr_row(base + y * view.strides[0], width, view.strides[1], view.strides[2], scratch, out);
    }
  } else {
    for (Py_ssize_t y = 0; y < height; ++y, out += w) copy_gray_row(base + y * view.strides[0], width, view.strides[1], out);
  }
  view_ = GrayView(copy_.data(), w, h);
  return true;
}

bool to_channel_image(PyObject* obj, const char* name, ChannelImage& out) {
  ImageBuffer buffer;
  if (!buffer.acquire(obj, name)) return false;
  const Py_buffer& view = buffer.view();
  const Py_ssize_t height = view.shape[0], width = view.shape[1];
  const Py_ssize_t channels = view.ndim == 3 ? view.shape[2] : 1;
  out.width = static_cast<std::uint32_t>(width);
  out.height = static_cast<std::uint32_t>(height);
  out.channels = static_cast<std::uint32_t>(channels);
  const char* base = static_cast<const char*>(view.buf);
  const Py_ssize_t channel_stride = view.ndim == 3 ? view.strides[2] : 1;
  const bool packed = channel_stride == 1 && view.strides[1] == channels &&
                      (height == 1 || view.strides[0] == width * channels);
  if (out.size() == 0) {
    out.pixels.clear();
    return true;
  }
  if (packed) {  // C-contiguous: one block copy
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(base);
    out.pixels.assign(bytes, bytes + out.size());
    return true;
  }
  out.pixels.resize(out.size());
  std::uint8_t* dst = out.pixels.data();
  for (Py_ssize_t y = 0; y < height; ++y) {
    const char* row = base + y * view.strides[0];
    for (Py_ssize_t x = 0; x < width; ++x) {
      for (Py_ssize_t c = 0; c < channels; ++c) {
        *dst++ = static_cast<std::uint8_t>(row[x * view.strides[1] + c * channel_stride]);
      }
    }
  }
  return true;
}

}  // namespace morvelin::py
