#include "platform/linux/export/remux.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/linux/export/amr.hpp"
#include "platform/linux/export/muxer.hpp"
#include "platform/linux/export/streams.hpp"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

namespace vek::linux_library {
namespace {

// Keys the demuxer derives from the source's file type box: copied, they
// would describe the source's file type, not the movie's.
constexpr const char* kFileTypeKeys[] = {"major_brand", "minor_version", "compatible_brands"};

struct OutputContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
using OutputContext = std::unique_ptr<AVFormatContext, OutputContextDeleter>;

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;

// Where the packets of one input stream go.
struct Track {
  AVStream* output = nullptr;  // null for a stream left out
  int64_t startOffset = 0;     // in the input stream's time base
  int64_t lastDts = AV_NOPTS_VALUE;
  bool splitsAmrNb = false;
};

RemuxError failure(const char* step, int code) {
  char description[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, description, sizeof description);
  return {code, std::string(step) + ": " + description};
}

// A file cut short still opens when its index comes first, and its demuxer
// then just ends early, as if the file were whole. The index shows the loss:
// samples that lie past the end of the file.
bool samplesPastEnd(const AVFormatContext& input, const std::vector<int>& streams, int64_t fileSize) {
  for (int index : streams) {
    AVStream* stream = input.streams[index];
    int count = avformat_index_get_entries_count(stream);
    for (int i = 0; i < count; ++i) {
      const AVIndexEntry* entry = avformat_index_get_entry(stream, i);
      if (entry->size > 0 && entry->pos + entry->size > fileSize) return true;
    }
  }
  return false;
}

// Makes timestamps ones the muxer accepts: relative to the start of the
// file, as players expect (a transport stream's clock starts anywhere), and
// with decoding times strictly increasing and never after presentation,
// which damaged files do not always have and the muxer refuses outright.
void retime(AVPacket& packet, const AVStream& input, Track& track) {
  if (packet.pts != AV_NOPTS_VALUE) packet.pts -= track.startOffset;
  if (packet.dts != AV_NOPTS_VALUE) packet.dts -= track.startOffset;
  av_packet_rescale_ts(&packet, input.time_base, track.output->time_base);
  if (packet.dts == AV_NOPTS_VALUE) return;

  bool hasLast = track.lastDts != AV_NOPTS_VALUE;
  int64_t next = hasLast ? track.lastDts + 1 : 0;
  if (packet.pts != AV_NOPTS_VALUE && packet.dts > packet.pts) {
    // Of the two times and the earliest allowed one, the middle is the
    // likeliest true time.
    int64_t low = std::min(packet.pts, packet.dts);
    int64_t high = std::max(packet.pts, packet.dts);
    packet.pts = packet.dts = hasLast ? std::clamp(next, low, high) : low;
  }
  if (hasLast && packet.dts < next) {
    if (packet.pts != AV_NOPTS_VALUE && packet.pts >= packet.dts) packet.pts = std::max(packet.pts, next);
    packet.dts = next;
  }
  track.lastDts = packet.dts;
}

std::optional<RemuxError> copyPackets(VideoInput& demuxer, AVFormatContext& movie, std::vector<Track>& tracks) {
  AVFormatContext& input = *demuxer.context();
  Packet packet(av_packet_alloc());
  if (!packet) return failure("reading the video", AVERROR(ENOMEM));
  for (;;) {
    int error = av_read_frame(&input, packet.get());
    if (error == AVERROR_EOF) break;
    if (error < 0) return failure("reading the video", error);
    // Streams can appear mid-file (in transport streams); they were not
    // chosen, so they are left out like any other.
    auto index = static_cast<size_t>(packet->stream_index);
    if (index >= tracks.size() || tracks[index].output == nullptr) {
      av_packet_unref(packet.get());
      continue;
    }
    Track& track = tracks[index];
    const AVStream& stream = *input.streams[index];
    auto write = [&](AVPacket& written) {
      retime(written, stream, track);
      written.stream_index = track.output->index;
      written.pos = -1;
      // In the order read, without av_interleaved_write_frame's queue: the
      // source is interleaved already, and the queue of a badly interleaved
      // source would grow with the file.
      return av_write_frame(&movie, &written);
    };
    error = track.splitsAmrNb ? splitAmrNbFrames(*packet, stream.time_base, write) : write(*packet);
    av_packet_unref(packet.get());
    if (error < 0) return failure("writing the movie", error);
  }
  if (int error = demuxer.readError(); error != 0) return failure("reading the video", error);
  return std::nullopt;
}

}  // namespace

VideoMedia::VideoMedia(std::shared_ptr<const UniqueFd> file, FileStamp stamp, std::unique_ptr<VideoInput> demuxer)
    : file_(std::move(file)), stamp_(stamp), demuxer_(std::move(demuxer)) {}

VideoInput::Opened VideoMedia::takeDemuxer() {
  std::lock_guard lock(mutex_);
  if (demuxer_) return {std::move(demuxer_), 0};
  return openForRemux(file_);
}

bool VideoMedia::unchanged() const {
  struct stat now {};
  return ::fstat(file_->get(), &now) == 0 && stampOf(now) == stamp_;
}

std::shared_ptr<VideoMedia> openVideoMedia(const OpenedFile& file) {
  VideoInput::Opened opened = openForRemux(file.fd);
  if (!opened.input || firstVideoStream(*opened.input->context()) == nullptr) return nullptr;
  return std::make_shared<VideoMedia>(file.fd, file.stamp, std::move(opened.input));
}

std::optional<RemuxError> remuxToMovie(VideoMedia& media, const std::string& outputPath, MovieFile::Staging staging) {
  VideoInput::Opened opened = media.takeDemuxer();
  if (!opened.input) return failure("opening the video", opened.error);
  VideoInput& demuxer = *opened.input;
  AVFormatContext& input = *demuxer.context();

  MoviePlan plan = planMovie(input);
  if (plan.error < 0) return failure(plan.refusal.c_str(), plan.error);
  const std::vector<int>& streams = plan.streams;
  int64_t fileSize = demuxer.fileSize();
  if (fileSize < 0) return failure("reading the video", static_cast<int>(fileSize));
  if (samplesPastEnd(input, streams, fileSize)) return failure("the video file is truncated", AVERROR_EOF);

  MovieFile::Created created = MovieFile::create(outputPath, staging);
  if (!created.file) return failure("creating the movie file", created.error);
  MovieFile& file = *created.file;

  AVFormatContext* allocated = nullptr;
  int error = allocateMovieMuxer(plan.flavour, &allocated);
  if (error < 0) return failure("starting the movie", error);
  OutputContext movie(allocated);
  movie->pb = file.io();

  error = av_dict_copy(&movie->metadata, input.metadata, 0);
  if (error < 0) return failure("copying the metadata", error);
  for (const char* key : kFileTypeKeys) av_dict_set(&movie->metadata, key, nullptr, 0);

  std::vector<Track> tracks(input.nb_streams);
  int64_t startTime = input.start_time == AV_NOPTS_VALUE ? 0 : input.start_time;
  for (int index : streams) {
    const AVStream& stream = *input.streams[index];
    tracks[index].output = addCopiedStream(stream, plan.flavour, *movie, &error);
    if (tracks[index].output == nullptr) return failure("adding a stream to the movie", error);
    tracks[index].startOffset = av_rescale_q(startTime, AV_TIME_BASE_Q, stream.time_base);
    tracks[index].splitsAmrNb = stream.codecpar->codec_id == AV_CODEC_ID_AMR_NB;
  }

  error = writeMovieHeader(*movie);
  if (error < 0) return failure("writing the movie header", error);

  if (auto copyFailure = copyPackets(demuxer, *movie, tracks)) return copyFailure;

  error = av_write_trailer(movie.get());
  if (error < 0) return failure("writing the movie index", error);
  // A video written to in place while it was copied gives a movie of parts
  // of two versions, which may well play, wrongly: it is not handed out.
  if (!media.unchanged()) return RemuxError{AVERROR(EAGAIN), "the video changed while it was copied"};
  error = file.publish();
  if (error < 0) return failure("naming the movie file", error);
  return std::nullopt;
}

}  // namespace vek::linux_library
