// cli-record.cpp -- recordings of the handheld's screen through FFmpeg's libraries.
//
// Every image keeps the time it was taken: the stream's clock counts milliseconds (GIF:
// hundredths), and each packet lasts until the next image's time (the last until the end
// given to finish()), so a player shows the images exactly as they came.  The encoders make
// no reordered frames, so packets leave the encoder in the images' order; one is held back
// until the next tells its length.
#include "cli-screen.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <cctype>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace zrcli {

namespace {

struct Format {
  const char *extension;
  const char *muxer;
  const char *encoder;  // by name; null: the codec's default encoder
  AVCodecID codec;
  AVPixelFormat pixels;
  int ticks_per_second;
};

const Format kFormats[] = {
    {".mp4", "mp4", "libx264", AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, 1000},
    {".webm", "webm", "libvpx-vp9", AV_CODEC_ID_VP9, AV_PIX_FMT_YUV420P, 1000},
    // GIF holds 256 colours: the 3-3-2 palette.
    {".gif", "gif", nullptr, AV_CODEC_ID_GIF, AV_PIX_FMT_RGB8, 100},
};

const Format *format_of(const std::string &path) {
  std::string lower;
  for (char c : path) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const Format &f : kFormats) {
    size_t n = std::string(f.extension).size();
    if (lower.size() > n && lower.compare(lower.size() - n, n, f.extension) == 0) return &f;
  }
  return nullptr;
}

std::string av_text(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

class FfmpegRecorder : public Recorder {
 public:
  FfmpegRecorder(const std::string &path, const Format &format) : path_(path), part_(path + ".part"), format_(format) {}

  ~FfmpegRecorder() override {
    if (sws_) sws_freeContext(sws_);
    av_frame_free(&frame_);
    av_packet_free(&pending_);
    av_packet_free(&packet_);
    avcodec_free_context(&encoder_);
    if (out_) {
      if (out_->pb) avio_closep(&out_->pb);
      avformat_free_context(out_);
    }
    if (!finished_) std::remove(part_.c_str());
  }

  bool start(unsigned width, unsigned height, unsigned scale, std::string *why) {
    width_ = width;
    height_ = height;
    const AVCodec *codec =
        format_.encoder ? avcodec_find_encoder_by_name(format_.encoder) : avcodec_find_encoder(format_.codec);
    if (!codec) codec = avcodec_find_encoder(format_.codec);
    if (!codec) return fail(why, std::string("FFmpeg has no encoder for ") + format_.extension + " files");
    int r = avformat_alloc_output_context2(&out_, nullptr, format_.muxer, part_.c_str());
    if (r < 0 || !out_) return fail(why, "cannot make a " + std::string(format_.muxer) + " file: " + av_text(r));
    AVStream *stream = avformat_new_stream(out_, nullptr);
    encoder_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!stream || !encoder_ || !frame_ || !packet_) return fail(why, "out of memory");
    stream_ = stream;
    encoder_->width = static_cast<int>(width * scale);
    encoder_->height = static_cast<int>(height * scale);
    encoder_->pix_fmt = format_.pixels;
    encoder_->time_base = AVRational{1, format_.ticks_per_second};
    encoder_->max_b_frames = 0;  // packets in the images' order
    encoder_->gop_size = 100;
    if (out_->oformat->flags & AVFMT_GLOBALHEADER) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // Quick enough for twenty images a second on a small machine, sharp enough for text.
    if (format_.codec == AV_CODEC_ID_H264) {
      av_opt_set(encoder_->priv_data, "preset", "veryfast", 0);
      av_opt_set(encoder_->priv_data, "crf", "18", 0);
    } else if (format_.codec == AV_CODEC_ID_VP9) {
      av_opt_set(encoder_->priv_data, "deadline", "realtime", 0);
      av_opt_set(encoder_->priv_data, "cpu-used", "8", 0);
      av_opt_set(encoder_->priv_data, "crf", "30", 0);
      encoder_->bit_rate = 0;
    }
    if ((r = avcodec_open2(encoder_, codec, nullptr)) < 0)
      return fail(why, std::string("the ") + codec->name + " encoder does not start: " + av_text(r));
    if ((r = avcodec_parameters_from_context(stream->codecpar, encoder_)) < 0) return fail(why, av_text(r));
    stream->time_base = encoder_->time_base;
    if ((r = avio_open(&out_->pb, part_.c_str(), AVIO_FLAG_WRITE)) < 0)
      return fail(why, "cannot write " + part_ + ": " + av_text(r));
    if ((r = avformat_write_header(out_, nullptr)) < 0) return fail(why, "cannot write " + part_ + ": " + av_text(r));
    // Every pixel of the screen a square of scale x scale: nearest neighbour, no blur.
    sws_ = sws_getContext(static_cast<int>(width), static_cast<int>(height), AV_PIX_FMT_RGB24, encoder_->width,
                          encoder_->height, format_.pixels, SWS_POINT, nullptr, nullptr, nullptr);
    frame_->format = format_.pixels;
    frame_->width = encoder_->width;
    frame_->height = encoder_->height;
    if (!sws_ || av_frame_get_buffer(frame_, 0) < 0) return fail(why, "out of memory");
    return true;
  }

  bool add(const std::vector<uint8_t> &rgb, double seconds, std::string *why) override {
    if (rgb.size() != static_cast<size_t>(width_) * height_ * 3) return fail(why, "an image of another size");
    int64_t pts = std::llround(seconds * format_.ticks_per_second);
    if (images_ > 0 && pts <= last_pts_) pts = last_pts_ + 1;
    int r = av_frame_make_writable(frame_);
    if (r < 0) return fail(why, av_text(r));
    const uint8_t *planes[1] = {rgb.data()};
    const int strides[1] = {static_cast<int>(width_ * 3)};
    sws_scale(sws_, planes, strides, 0, static_cast<int>(height_), frame_->data, frame_->linesize);
    frame_->pts = pts;
    if ((r = avcodec_send_frame(encoder_, frame_)) < 0) return fail(why, "encoding failed: " + av_text(r));
    last_pts_ = pts;
    ++images_;
    return drain(why);
  }

  bool finish(double seconds, std::string *why) override {
    if (images_ == 0) return fail(why, "no image was recorded");
    int r = avcodec_send_frame(encoder_, nullptr);
    if (r < 0) return fail(why, "encoding failed: " + av_text(r));
    if (!drain(why)) return false;
    if (pending_) {
      int64_t end = std::llround(seconds * format_.ticks_per_second);
      pending_->duration = end > pending_->pts ? end - pending_->pts : 1;
      if (!write(pending_, why)) return false;
    }
    if ((r = av_write_trailer(out_)) < 0) return fail(why, "cannot write " + part_ + ": " + av_text(r));
    if ((r = avio_closep(&out_->pb)) < 0) return fail(why, "cannot write " + part_ + ": " + av_text(r));
    if (std::rename(part_.c_str(), path_.c_str()) != 0) return fail(why, "cannot put " + path_ + " in place");
    finished_ = true;
    return true;
  }

  int images() const override { return images_; }

 private:
  bool fail(std::string *why, const std::string &text) {
    if (why) *why = text;
    return false;
  }

  // Takes every packet the encoder has ready; each but the newest is written with its length.
  bool drain(std::string *why) {
    for (;;) {
      int r = avcodec_receive_packet(encoder_, packet_);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0) return fail(why, "encoding failed: " + av_text(r));
      if (pending_) {
        pending_->duration = packet_->pts - pending_->pts;
        if (!write(pending_, why)) return false;
      } else {
        pending_ = av_packet_alloc();
        if (!pending_) return fail(why, "out of memory");
      }
      av_packet_move_ref(pending_, packet_);
    }
  }

  bool write(AVPacket *packet, std::string *why) {
    av_packet_rescale_ts(packet, encoder_->time_base, stream_->time_base);
    packet->stream_index = stream_->index;
    int r = av_interleaved_write_frame(out_, packet);
    av_packet_unref(packet);
    return r >= 0 || fail(why, "cannot write " + part_ + ": " + av_text(r));
  }

  std::string path_, part_;
  const Format &format_;
  unsigned width_ = 0, height_ = 0;
  AVFormatContext *out_ = nullptr;
  AVStream *stream_ = nullptr;
  AVCodecContext *encoder_ = nullptr;
  SwsContext *sws_ = nullptr;
  AVFrame *frame_ = nullptr;
  AVPacket *packet_ = nullptr;
  AVPacket *pending_ = nullptr;  // written when the next one tells its length
  int64_t last_pts_ = 0;
  int images_ = 0;
  bool finished_ = false;
};

}  // namespace

extern "C" bool zrlink_screen_known_format(const std::string &path) { return format_of(path) != nullptr; }

extern "C" Recorder *zrlink_screen_recorder(const std::string &path, unsigned width, unsigned height, unsigned scale,
                                            std::string *why) {
  const Format *format = format_of(path);
  if (!format) {
    if (why) *why = path + ": a recording is a .mp4, .webm or .gif file";
    return nullptr;
  }
  av_log_set_level(AV_LOG_ERROR);
  auto recorder = std::make_unique<FfmpegRecorder>(path, *format);
  if (!recorder->start(width, height, scale, why)) return nullptr;
  return recorder.release();
}

}  // namespace zrcli
