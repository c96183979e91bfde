#include "update/content/inflate.h"

#include <zlib.h>

#include <algorithm>

namespace update {

struct Inflater::State {
  z_stream stream = {};
  unsigned char out[64 * 1024];
};

Inflater::Inflater(uint64_t limit) : state_(new State()), limit_(limit) {
  ready_ = inflateInit(&state_->stream) == Z_OK;
}

Inflater::~Inflater() {
  if (ready_) inflateEnd(&state_->stream);
}

bool Inflater::Feed(const unsigned char* data, size_t size, const OutFn& out, std::wstring& error) {
  if (!ready_) {
    error = L"not enough memory to inflate a chunk";
    return false;
  }
  z_stream& z = state_->stream;
  z.next_in = const_cast<unsigned char*>(data);
  z.avail_in = static_cast<uInt>(size);
  // Round after round while there is input, or while the last round filled
  // the whole output buffer (zlib may hold more for it).
  for (bool full = false; z.avail_in > 0 || full;) {
    if (finished_) {
      if (z.avail_in == 0) break;
      error = L"a chunk has bytes after its end";
      return false;
    }
    z.next_out = state_->out;
    z.avail_out = sizeof state_->out;
    const int result = inflate(&z, Z_NO_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END && !(result == Z_BUF_ERROR && z.avail_in == 0)) {
      error = L"a chunk is not what it should be";
      return false;
    }
    const size_t made = sizeof state_->out - z.avail_out;
    produced_ += made;
    if (produced_ > limit_) {
      error = L"a chunk inflates past its size";
      return false;
    }
    if (made > 0 && !out(state_->out, made)) {
      error = L"a chunk could not be written";
      return false;
    }
    finished_ = result == Z_STREAM_END;
    full = z.avail_out == 0;
  }
  return true;
}

}  // namespace update
