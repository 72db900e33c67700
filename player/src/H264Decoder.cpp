#include "H264Decoder.h"

#include <climits>

#include "CodedFrame.h"
#include "LibavLog.h"

static_assert(qnv::player::kCodedFramePadding >= AV_INPUT_BUFFER_PADDING_SIZE);

namespace qnv::player {

std::unique_ptr<H264Decoder> H264Decoder::Create(int threads) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) return nullptr;
  LibavLogScope own;
  std::unique_ptr<H264Decoder> d(new H264Decoder);
  d->m_context.reset(avcodec_alloc_context3(codec));
  d->m_parser.reset(av_parser_init(AV_CODEC_ID_H264));
  d->m_packet.reset(av_packet_alloc());
  d->m_work.reset(av_frame_alloc());
  d->m_latest.reset(av_frame_alloc());
  if (!d->m_context || !d->m_parser || !d->m_packet || !d->m_work || !d->m_latest) return nullptr;
  LibavLog::MarkOwnContext(d->m_context.get());
  d->m_context->thread_count = threads < 1 ? 1 : threads;
  if (threads > 1) d->m_context->thread_type = FF_THREAD_FRAME;
  if (avcodec_open2(d->m_context.get(), codec, nullptr) < 0) return nullptr;
  return d;
}

int H264Decoder::Decode(const uint8_t* data, int size) {
  m_packet->data = const_cast<uint8_t*>(data);
  m_packet->size = size;
  // A damaged unit is skipped; the decoder recovers at a later picture.
  const int sent = avcodec_send_packet(m_context.get(), m_packet.get());
  m_packet->data = nullptr;
  m_packet->size = 0;
  if (sent < 0) return 0;
  int pictures = 0;
  while (avcodec_receive_frame(m_context.get(), m_work.get()) == 0) {
    av_frame_unref(m_latest.get());
    av_frame_move_ref(m_latest.get(), m_work.get());
    m_hasPicture = true;
    ++m_pictures;
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
    const int used = av_parser_parse2(m_parser.get(), m_context.get(), &out, &outSize, data, chunk,
                                      AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0) break;
    if (outSize > 0) pictures += Decode(out, outSize);
    // After a flush the parser answers the next picture's start once with an
    // empty result and nothing consumed; a second time would be a stall.
    if (used == 0 && outSize == 0 && ++idle > 2) break;
    if (used > 0) idle = 0;
    data += used;
    size -= size_t(used);
    m_pending = true;
  }
  return pictures;
}

int H264Decoder::Flush() {
  if (!m_pending) return 0;
  LibavLogScope own;
  m_pending = false;
  uint8_t* out = nullptr;
  int outSize = 0;
  av_parser_parse2(m_parser.get(), m_context.get(), &out, &outSize, nullptr, 0, AV_NOPTS_VALUE,
                   AV_NOPTS_VALUE, 0);
  return outSize > 0 ? Decode(out, outSize) : 0;
}

}  // namespace qnv::player
