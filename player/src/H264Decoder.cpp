#include "H264Decoder.h"

#include <climits>

#include "CodedFrame.h"
#include "LibavLog.h"

static_assert(qnvplayer::kCodedFramePadding >= AV_INPUT_BUFFER_PADDING_SIZE);

namespace qnvplayer {

std::unique_ptr<H264Decoder> H264Decoder::Create(int threads) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) return nullptr;
  LibavLogScope own;
  std::unique_ptr<H264Decoder> d(new H264Decoder);
  d->context_.reset(avcodec_alloc_context3(codec));
  d->parser_.reset(av_parser_init(AV_CODEC_ID_H264));
  d->packet_.reset(av_packet_alloc());
  d->work_.reset(av_frame_alloc());
  d->latest_.reset(av_frame_alloc());
  if (!d->context_ || !d->parser_ || !d->packet_ || !d->work_ || !d->latest_) return nullptr;
  LibavLog::MarkOwnContext(d->context_.get());
  d->threads_ = threads < 1 ? 1 : threads;
  d->context_->thread_count = d->threads_;
  if (threads > 1) d->context_->thread_type = FF_THREAD_FRAME;
  if (avcodec_open2(d->context_.get(), codec, nullptr) < 0) return nullptr;
  return d;
}

int H264Decoder::Decode(const uint8_t* data, int size) {
  packet_->data = const_cast<uint8_t*>(data);
  packet_->size = size;
  // A damaged unit is skipped; the decoder recovers at a later picture.
  const int sent = avcodec_send_packet(context_.get(), packet_.get());
  packet_->data = nullptr;
  packet_->size = 0;
  if (sent < 0) return 0;
  int pictures = 0;
  while (avcodec_receive_frame(context_.get(), work_.get()) == 0) {
    av_frame_unref(latest_.get());
    av_frame_move_ref(latest_.get(), work_.get());
    hasPicture_ = true;
    ++pictures_;
    ++pictures;
  }
  return pictures;
}

int H264Decoder::Feed(const uint8_t* data, size_t size) {
  LibavLogScope own;
  int pictures = 0;
  int idle = 0;
  while (size > 0) {
    const int chunk = size > size_t(INT_MAX) ? INT_MAX : int(size);
    uint8_t* out = nullptr;
    int outSize = 0;
    const int used = av_parser_parse2(parser_.get(), context_.get(), &out, &outSize, data, chunk,
                                      AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0) break;
    if (outSize > 0) pictures += Decode(out, outSize);
    // After a flush the parser answers the next picture's start once with an
    // empty result and nothing consumed; a second time would be a stall.
    if (used == 0 && outSize == 0 && ++idle > 2) break;
    if (used > 0) idle = 0;
    data += used;
    size -= size_t(used);
    pending_ = true;
  }
  return pictures;
}

int H264Decoder::Flush() {
  if (!pending_) return 0;
  LibavLogScope own;
  pending_ = false;
  uint8_t* out = nullptr;
  int outSize = 0;
  av_parser_parse2(parser_.get(), context_.get(), &out, &outSize, nullptr, 0, AV_NOPTS_VALUE,
                   AV_NOPTS_VALUE, 0);
  return outSize > 0 ? Decode(out, outSize) : 0;
}

int H264Decoder::Drain() {
  int pictures = Flush();
  LibavLogScope own;
  // An empty packet asks for everything held back; it ends the stream, which
  // avcodec_flush_buffers reopens (dropping the reference pictures).
  pictures += Decode(nullptr, 0);
  avcodec_flush_buffers(context_.get());
  return pictures;
}

}  // namespace qnvplayer
