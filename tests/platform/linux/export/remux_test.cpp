#include "platform/linux/export/remux.hpp"

#include <sys/resource.h>

#include <csignal>
#include <functional>
#include <future>
#include <set>
#include <string_view>

#include "platform/linux/decoders/media_libraries.hpp"
#include "platform/linux/export/amr.hpp"
#include "platform/linux/export/output.hpp"
#include "platform/linux/export/session.hpp"
#include "platform/linux/helper_home.hpp"
#include "platform/linux/opened_files.hpp"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

std::shared_ptr<VideoMedia> openVideoMedia(const fs::path& path) {
  return withOpened(path, [](const OpenedFile& file) { return linux_library::openVideoMedia(file); });
}

constexpr const char* kPicture = "-f lavfi -i testsrc=size=160x120:rate=25:duration=1";
constexpr const char* kSound = "-f lavfi -i sine=frequency=440:duration=1";
// B-frames give decoding times before zero and an edit list to carry over.
constexpr const char* kH264 = "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 10 -bf 2";
constexpr const char* kSubtitles = "1\n00:00:00,000 --> 00:00:00,500\nHello\n";

bool ffmpeg(const std::string& arguments) {
  std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y " + arguments + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

struct PacketRecord {
  size_t dataHash;
  int64_t ptsMicroseconds;  // from the start of the file
  bool key;
};

struct StreamRecord {
  AVCodecID codec = AV_CODEC_ID_NONE;
  uint32_t tag = 0;
  AVRational timeBase{0, 1};
  double rotation = 0;
  std::vector<PacketRecord> packets;
};

struct MovieRecord {
  std::vector<StreamRecord> streams;
  std::map<std::string, std::string> metadata;
};

// Reads a file back with libavformat, as a player would.
MovieRecord readMovie(const std::string& path) {
  AVFormatContext* context = nullptr;
  if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return {};
  }
  std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> owner(&context, avformat_close_input);
  avformat_find_stream_info(context, nullptr);

  MovieRecord movie;
  const AVDictionaryEntry* entry = nullptr;
  while ((entry = av_dict_get(context->metadata, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
    movie.metadata[entry->key] = entry->value;
  }
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVStream* stream = context->streams[i];
    StreamRecord record{stream->codecpar->codec_id, stream->codecpar->codec_tag, stream->time_base, 0, {}};
    if (auto* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr)) {
      record.rotation = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    }
    movie.streams.push_back(record);
  }
  int64_t start = context->start_time == AV_NOPTS_VALUE ? 0 : context->start_time;
  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(context, packet) >= 0) {
    const AVStream* stream = context->streams[packet->stream_index];
    movie.streams[packet->stream_index].packets.push_back(
        {std::hash<std::string_view>{}(
             {reinterpret_cast<const char*>(packet->data), static_cast<size_t>(packet->size)}),
         av_rescale_q(packet->pts, stream->time_base, {1, 1000000}) - start, (packet->flags & AV_PKT_FLAG_KEY) != 0});
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  return movie;
}

// Checks that `exported` holds exactly the streams of `source` at `kept`,
// in that order, each with every packet unchanged. Time bases that are not
// multiples of each other round a timestamp (Matroska counts milliseconds, a
// QuickTime sound track counts samples), hence the tolerance.
void expectCopiedStreams(const MovieRecord& source, const std::vector<size_t>& kept, const MovieRecord& exported) {
  ASSERT_EQ(exported.streams.size(), kept.size());
  for (size_t i = 0; i < kept.size(); ++i) {
    const StreamRecord& from = source.streams.at(kept[i]);
    const StreamRecord& to = exported.streams[i];
    SCOPED_TRACE("exported stream " + std::to_string(i));
    EXPECT_EQ(to.codec, from.codec);
    EXPECT_FALSE(from.packets.empty());
    ASSERT_EQ(to.packets.size(), from.packets.size());
    for (size_t p = 0; p < to.packets.size(); ++p) {
      const PacketRecord& a = from.packets[p];
      const PacketRecord& b = to.packets[p];
      ASSERT_TRUE(a.dataHash == b.dataHash && a.key == b.key && std::abs(a.ptsMicroseconds - b.ptsMicroseconds) <= 1000)
          << "packet " << p << " at " << a.ptsMicroseconds << " us became one at " << b.ptsMicroseconds << " us";
    }
  }
}

// Runs a passthrough export to `path`: nullopt when it completed, else the
// failure's description.
std::optional<std::string> exportMovie(const std::shared_ptr<VideoMedia>& media, const std::string& path,
                                       const std::string& fileType = kFileTypeQuickTimeMovie) {
  std::unique_ptr<ExportSession> session = makeRemuxExportSession(media, kExportPresetPassthrough);
  if (!session) return "no export session";
  session->setOutputURL(path);
  session->setOutputFileType(fileType);
  std::promise<void> done;
  session->exportAsynchronously([&done] { done.set_value(); });
  done.get_future().get();
  if (session->status() == kExportStatusCompleted && !session->error()) return std::nullopt;
  EXPECT_EQ(session->status(), kExportStatusFailed);
  return session->error() ? session->error()->localizedDescription : "failed without an error";
}

class RemuxTest : public vek::testing::TempFolder {
 protected:
  static void SetUpTestSuite() { startMediaLibraries(); }

  std::string path(const std::string& name) const { return root_ / name; }

  std::set<std::string> names() const { return vek::testing::namesIn(root_); }

  std::string contents(const std::string& name) const { return vek::testing::readAll(path(name)); }

  unsigned mode(const std::string& name) const {
    struct stat st {};
    EXPECT_EQ(::stat(path(name).c_str(), &st), 0) << name;
    return st.st_mode & 07777;
  }

  // Exports `name` to `<name>.export.mov`, expects the streams of `name` at
  // `kept` copied unchanged, and returns the export as read back.
  MovieRecord exportKeeping(const std::string& name, const std::vector<size_t>& kept) const {
    SCOPED_TRACE(name);
    auto media = openVideoMedia(path(name));
    EXPECT_NE(media, nullptr);
    if (media == nullptr) return {};
    EXPECT_EQ(exportMovie(media, path(name + ".export.mov")), std::nullopt);
    MovieRecord exported = readMovie(path(name + ".export.mov"));
    expectCopiedStreams(readMovie(path(name)), kept, exported);
    return exported;
  }

};

// AAC makes a QuickTime movie, Opus one of the ISO base-media flavour; the
// rest is the same either way.
TEST_F(RemuxTest, CopiesEveryPacketRotationTimeBaseAndDateIntoAPrivateMovie) {
  std::ofstream(path("subtitles.srt")) << kSubtitles;
  for (auto [sound, brand] : {std::pair{"aac", "qt  "}, std::pair{"libopus", "isom"}}) {
    SCOPED_TRACE(sound);
    // One step each: this ffmpeg sets a rotation only when copying, and not
    // while it writes QuickTime keys.
    ASSERT_TRUE(ffmpeg(std::string(kPicture) + " " + kSound + " -i " + path("subtitles.srt") +
                       " -map 0 -map 1 -map 2 " + kH264 + " -c:a " + sound + " -c:s mov_text " + path("upright.mp4")));
    ASSERT_TRUE(ffmpeg("-i " + path("upright.mp4") + " -map 0 -c copy -metadata:s:v rotate=90 " + path("rotated.mp4")));
    ASSERT_TRUE(ffmpeg("-i " + path("rotated.mp4") +
                       " -map 0 -c copy -movflags use_metadata_tags -metadata creation_time=2019-07-24T08:25:57Z"
                       " -metadata com.apple.quicktime.creationdate=2019-07-24T11:25:40+0300 " +
                       path("source.mp4")));
    for (const char* made : {"upright.mp4", "rotated.mp4"}) fs::remove(path(made));
    auto media = openVideoMedia(path("source.mp4"));
    ASSERT_NE(media, nullptr);
    MovieRecord source = readMovie(path("source.mp4"));
    ASSERT_EQ(source.streams.size(), 3u);
    EXPECT_NE(source.streams[0].rotation, 0);
    EXPECT_NE(source.metadata["creation_time"], "");

    // The second export of the same media reads the file anew.
    for (const char* name : {"first.mov", "second.mov"}) {
      SCOPED_TRACE(name);
      EXPECT_EQ(exportMovie(media, path(name)), std::nullopt);
      MovieRecord exported = readMovie(path(name));
      expectCopiedStreams(source, {0, 1, 2}, exported);
      ASSERT_EQ(exported.streams.size(), 3u);
      EXPECT_EQ(exported.streams[0].rotation, source.streams[0].rotation);
      for (size_t i = 0; i < 3; ++i) EXPECT_EQ(av_cmp_q(exported.streams[i].timeBase, source.streams[i].timeBase), 0);
      EXPECT_EQ(exported.metadata["creation_time"], source.metadata["creation_time"]);
      EXPECT_EQ(exported.metadata["com.apple.quicktime.creationdate"], "2019-07-24T11:25:40+0300");
      EXPECT_EQ(exported.metadata["major_brand"], brand);
      EXPECT_EQ(mode(name), 0600u);
    }
    EXPECT_EQ(names(), (std::set<std::string>{"subtitles.srt", "source.mp4", "first.mov", "second.mov"}));
    for (const char* made : {"source.mp4", "first.mov", "second.mov"}) fs::remove(path(made));
  }
}

// Every sound and picture reaches the movie, in the flavour that carries it:
// Vorbis fits a QuickTime movie, the others only the ISO base-media one.
// HEVC is tagged hvc1 either way, as players expect. Only what no movie
// needs is left out: SubRip subtitles (neither flavour holds them), an
// attached cover, a timecode track.
TEST_F(RemuxTest, KeepsEverySoundAndPictureInAFlavourThatCarriesThem) {
  const std::string av1 = " -c:v libaom-av1 -cpu-used 8 -g 10 ";
  const std::string vp9 = " -c:v libvpx-vp9 -deadline realtime -cpu-used 8 ";
  const std::string hevc = " -c:v libx265 -preset ultrafast -x265-params log-level=none ";
  const std::string both = std::string(kPicture) + " " + kSound + " ";
  std::ofstream(path("subtitles.srt")) << kSubtitles;
  ASSERT_TRUE(ffmpeg(std::string(kPicture) + " -frames:v 1 " + path("cover.png")));
  struct Made {
    const char* name;
    std::string arguments;
    const char* brand;
  };
  for (const Made& made : {Made{"opus.mkv", both + kH264 + " -c:a libopus", "isom"},
                           Made{"flac.mkv", both + kH264 + " -c:a flac", "isom"},
                           Made{"vorbis.mkv", both + kH264 + " -c:a libvorbis", "qt  "},
                           Made{"vp9.webm", both + vp9 + " -c:a libopus", "isom"},
                           Made{"av1.mkv", both + av1 + " -c:a aac", "isom"},
                           Made{"hevc.mkv", both + hevc + " -c:a aac", "qt  "},
                           Made{"hevc-opus.mkv", both + hevc + " -c:a libopus", "isom"},
                           Made{"extras.mkv",
                                both + "-i " + path("subtitles.srt") + " -map 0 -map 1 -map 2 " + kH264 +
                                    " -c:a aac -c:s srt -attach " + path("cover.png") +
                                    " -metadata:s:t mimetype=image/png",
                                "qt  "},
                           Made{"timecode.mov", both + kH264 + " -c:a aac -timecode 01:00:00:00", "qt  "}}) {
    ASSERT_TRUE(ffmpeg(made.arguments + " " + path(made.name))) << made.name;
    MovieRecord exported = exportKeeping(made.name, {0, 1});
    EXPECT_EQ(exported.metadata["major_brand"], made.brand) << made.name;
    if (exported.streams.at(0).codec == AV_CODEC_ID_HEVC) {
      EXPECT_EQ(exported.streams[0].tag, MKTAG('h', 'v', 'c', '1')) << made.name;
    }
  }
  for (const char* name : {"extras.mkv", "timecode.mov"}) EXPECT_GT(readMovie(path(name)).streams.size(), 2u) << name;
}

TEST_F(RemuxTest, FailedExportsLeaveNoFileAndReplaceNothing) {
  const std::string movie = std::string(kPicture) + " " + kSound + " " + kH264;
  ASSERT_TRUE(ffmpeg(movie + " -c:a aac -movflags faststart " + path("whole.mp4")));
  fs::copy_file(path("whole.mp4"), path("cut.mp4"));
  // With its index first, a cut file still opens; its samples run past its end.
  fs::resize_file(path("cut.mp4"), fs::file_size(path("cut.mp4")) * 6 / 10);
  std::ofstream(path("taken.mov")) << "precious";
  // RealAudio fits neither flavour, nor does WMA (a QuickTime movie would
  // lose what its decoder needs); PCM fits only a QuickTime movie, Opus only
  // the other.
  ASSERT_TRUE(ffmpeg(movie + " -c:a real_144 -ar 8000 -ac 1 " + path("real.mkv")));
  ASSERT_TRUE(ffmpeg(movie + " -c:a wmav2 " + path("wma.mkv")));
  ASSERT_TRUE(ffmpeg(std::string(kPicture) + " " + kSound + " " + kSound + " -map 0 -map 1 -map 2 " + kH264 +
                     " -c:a:0 libopus -c:a:1 pcm_s16le " + path("mixed.mkv")));
  for (auto [name, failure] :
       {std::pair{"real.mkv", "stream 1 (ra_144 audio) fits in neither a QuickTime nor an MP4 movie: Invalid argument"},
        std::pair{"wma.mkv", "stream 1 (wmav2 audio) fits in neither a QuickTime nor an MP4 movie: Invalid argument"},
        std::pair{"mixed.mkv",
                  "stream 2 (pcm_s16le audio) fits only a QuickTime movie, and another stream needs an MP4 one: "
                  "Invalid argument"}}) {
    auto media = openVideoMedia(path(name));
    ASSERT_NE(media, nullptr) << name;
    EXPECT_EQ(exportMovie(media, path(std::string(name) + ".mov")), failure);
  }
  auto cut = openVideoMedia(path("cut.mp4"));
  auto whole = openVideoMedia(path("whole.mp4"));
  ASSERT_NE(cut, nullptr);
  ASSERT_NE(whole, nullptr);

  EXPECT_EQ(exportMovie(cut, path("cut.mov")), "the video file is truncated: End of file");
  EXPECT_NE(exportMovie(whole, path("whole.mp4.mov"), "public.mpeg-4").value_or("").find("public.mpeg-4"),
            std::string::npos);
  EXPECT_NE(exportMovie(whole, path("missing/whole.mov")), std::nullopt);
  EXPECT_EQ(exportMovie(whole, path("taken.mov")), "creating the movie file: File exists");
  EXPECT_EQ(contents("taken.mov"), "precious");

  // A write failing half way, as on a full disk: a file size limit makes
  // writes fail with EFBIG once SIGXFSZ no longer ends the process.
  struct rlimit limit {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  struct rlimit small = limit;
  small.rlim_cur = 4096;
  auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string failure = exportMovie(whole, path("whole.mov")).value_or("");
  ::setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_TRUE(failure.ends_with(": File too large")) << failure;

  EXPECT_EQ(names(), (std::set<std::string>{"whole.mp4", "cut.mp4", "taken.mov", "real.mkv", "wma.mkv", "mixed.mkv"}));
}

TEST_F(RemuxTest, OpensOnlyVideoFilesAndExportsOnlyPassthrough) {
  ASSERT_TRUE(ffmpeg(std::string(kPicture) + " " + kSound + " " + kH264 + " -c:a aac " + path("whole.mp4")));
  fs::copy_file(path("whole.mp4"), path("cut.mp4"));
  // Without faststart the index is at the end, cut off here.
  fs::resize_file(path("cut.mp4"), fs::file_size(path("cut.mp4")) / 2);
  ASSERT_TRUE(ffmpeg(std::string(kSound) + " -c:a aac " + path("sound.m4a")));
  ASSERT_TRUE(ffmpeg(std::string(kPicture) + " -frames:v 1 " + path("picture.png")));
  std::ofstream(path("empty.mp4")).close();
  // Playlists and scripts would make the demuxer read files of their choosing.
  std::ofstream(path("text.mp4")) << "#EXTM3U\n#EXT-X-ENDLIST\n";
  std::ofstream(path("script.mp4")) << "ffconcat version 1.0\nfile whole.mp4\n";
  fs::create_symlink(path("whole.mp4"), path("link.mp4"));
  fs::create_directory(path("folder.mp4"));

  for (const char* name :
       {"cut.mp4", "sound.m4a", "picture.png", "empty.mp4", "text.mp4", "script.mp4", "link.mp4", "folder.mp4",
        "absent.mp4"}) {
    EXPECT_EQ(openVideoMedia(path(name)), nullptr) << name;
  }
  auto h264 = openVideoMedia(path("whole.mp4"));
  ASSERT_NE(h264, nullptr);
  EXPECT_EQ(makeRemuxExportSession(h264, "AVAssetExportPresetHighestQuality"), nullptr);
  EXPECT_EQ(makeRemuxExportSession(std::make_shared<PlatformMedia>(), kExportPresetPassthrough), nullptr);
  EXPECT_EQ(makeRemuxExportSession(nullptr, kExportPresetPassthrough), nullptr);
}

TEST(SplitAmrNbFramesTest, GivesEachFrameItsOwnPacketAndTime) {
  // Modes 7 (32 bytes), 0 (13 bytes) and 15 (no data, 1 byte), as one 3GP
  // sample at 2 seconds, in a 1/1000 time base where frames are 20 ms.
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
  ASSERT_EQ(av_new_packet(packet.get(), 32 + 13 + 1), 0);
  std::fill_n(packet->data, packet->size, 0);
  packet->data[0] = 7 << 3;
  packet->data[45] = 15 << 3;
  packet->pts = packet->dts = 2000;
  std::vector<std::vector<int64_t>> frames;  // offset, size, pts, dts, duration
  auto split = [&](int writeResult) {
    frames.clear();
    return splitAmrNbFrames(*packet, {1, 1000}, [&](AVPacket& frame) {
      frames.push_back({frame.data - packet->data, frame.size, frame.pts, frame.dts, frame.duration});
      return writeResult;
    });
  };

  EXPECT_EQ(split(0), 0);
  EXPECT_EQ(frames, (std::vector<std::vector<int64_t>>{
                        {0, 32, 2000, 2000, 20}, {32, 13, 2020, 2020, 20}, {45, 1, 2040, 2040, 20}}));
  EXPECT_EQ(split(AVERROR(ENOSPC)), AVERROR(ENOSPC));
  // A frame running past the end, or a mode no stored frame has.
  for (uint8_t header : {uint8_t{7 << 3}, uint8_t{9 << 3}}) {
    packet->data[45] = header;
    EXPECT_EQ(split(0), AVERROR_INVALIDDATA);
  }
}

class MovieFileTest : public RemuxTest, public ::testing::WithParamInterface<MovieFile::Staging> {};

TEST_P(MovieFileTest, AppearsOnlyWhenPublishedAndNeverReplaces) {
  std::map<std::string, std::unique_ptr<MovieFile>> movies;
  for (const char* name : {"published.mov", "raced.mov", "abandoned.mov"}) {
    MovieFile::Created created = MovieFile::create(path(name), GetParam());
    ASSERT_EQ(created.error, 0) << name;
    ASSERT_NE(created.file, nullptr) << name;
    avio_write(created.file->io(), reinterpret_cast<const unsigned char*>("movie"), 5);
    EXPECT_FALSE(fs::exists(path(name))) << name;
    movies[name] = std::move(created.file);
  }
  std::ofstream(path("raced.mov")) << "theirs";
  EXPECT_EQ(movies["published.mov"]->publish(), 0);
  EXPECT_EQ(movies["raced.mov"]->publish(), AVERROR(EEXIST));
  movies.clear();

  EXPECT_EQ(names(), (std::set<std::string>{"published.mov", "raced.mov"}));
  EXPECT_EQ(contents("published.mov"), "movie");
  EXPECT_EQ(mode("published.mov"), 0600u);
  EXPECT_EQ(contents("raced.mov"), "theirs");
  EXPECT_EQ(MovieFile::create(path("published.mov"), GetParam()).error, AVERROR(EEXIST));
}

INSTANTIATE_TEST_SUITE_P(Staging, MovieFileTest,
                         ::testing::Values(MovieFile::Staging::kUnnamed, MovieFile::Staging::kHiddenName));

}  // namespace
}  // namespace vek::linux_library
