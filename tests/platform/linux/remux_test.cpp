#include "platform/linux/remux.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <string_view>

#include "platform/linux/export_session.hpp"
#include "platform/linux/media_libraries.hpp"
#include "platform/linux/remux_amr.hpp"
#include "platform/linux/remux_output.hpp"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPicture = "-f lavfi -i testsrc=size=160x120:rate=25:duration=1";
constexpr const char* kSound = "-f lavfi -i sine=frequency=440:duration=1";
// B-frames give decoding times before zero and an edit list to carry over.
constexpr const char* kH264 = "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 10 -bf 2";

bool ffmpeg(const std::string& arguments) {
  std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y " + arguments + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

struct PacketRecord {
  size_t dataHash = 0;
  int64_t ptsMicroseconds = 0;  // from the start of the file
  bool key = false;
};

// Time bases that are not multiples of each other round a timestamp
// (Matroska counts milliseconds, a QuickTime sound track counts samples).
constexpr int64_t kTimestampToleranceMicroseconds = 1000;

bool sameSample(const PacketRecord& a, const PacketRecord& b) {
  return a.dataHash == b.dataHash && a.key == b.key &&
         std::abs(a.ptsMicroseconds - b.ptsMicroseconds) <= kTimestampToleranceMicroseconds;
}

struct StreamRecord {
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  AVCodecID codec = AV_CODEC_ID_NONE;
  uint32_t tag = 0;
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
    StreamRecord record{stream->codecpar->codec_type, stream->codecpar->codec_id, stream->codecpar->codec_tag, 0, {}};
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
// in that order, each with every packet unchanged.
void expectCopiedStreams(const MovieRecord& source, const std::vector<size_t>& kept, const MovieRecord& exported) {
  ASSERT_EQ(exported.streams.size(), kept.size());
  for (size_t i = 0; i < kept.size(); ++i) {
    const StreamRecord& from = source.streams.at(kept[i]);
    const StreamRecord& to = exported.streams[i];
    SCOPED_TRACE("exported stream " + std::to_string(i));
    EXPECT_EQ(to.type, from.type);
    EXPECT_EQ(to.codec, from.codec);
    EXPECT_FALSE(from.packets.empty());
    ASSERT_EQ(to.packets.size(), from.packets.size());
    for (size_t p = 0; p < to.packets.size(); ++p) {
      ASSERT_TRUE(sameSample(to.packets[p], from.packets[p]))
          << "packet " << p << " at " << from.packets[p].ptsMicroseconds << " us became one at "
          << to.packets[p].ptsMicroseconds << " us";
    }
  }
}

struct ExportOutcome {
  int64_t status = kExportStatusUnknown;
  std::optional<PlatformError> error;
};

ExportOutcome exportMovie(const std::shared_ptr<VideoMedia>& media, const std::string& path,
                          const std::string& fileType = kFileTypeQuickTimeMovie) {
  std::unique_ptr<ExportSession> session = makeRemuxExportSession(media, kExportPresetPassthrough);
  if (!session) {
    ADD_FAILURE() << "no export session";
    return {};
  }
  session->setOutputURL(path);
  session->setOutputFileType(fileType);
  std::promise<void> done;
  session->exportAsynchronously([&done] { done.set_value(); });
  done.get_future().get();
  return {session->status(), session->error()};
}

std::set<std::string> namesIn(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename());
  return names;
}

class RemuxTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { startMediaLibraries(); }

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vek-remux-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }
  void TearDown() override { fs::remove_all(directory_); }

  std::string path(const std::string& name) const { return directory_ + "/" + name; }

  std::string directory_;
};

TEST_F(RemuxTest, CopiesEveryPacketOfAnMp4IntoAPrivateMovie) {
  std::ofstream(path("subtitles.srt")) << "1\n00:00:00,000 --> 00:00:00,500\nHello\n";
  ASSERT_TRUE(ffmpeg(std::string(kPicture) + " " + kSound + " -i " + path("subtitles.srt") + " -map 0 -map 1 -map 2 " +
                     kH264 + " -c:a aac -c:s mov_text " + path("source.mp4")));
  fs::remove(path("subtitles.srt"));
  auto media = openVideoMedia(path("source.mp4"));
  ASSERT_NE(media, nullptr);

  // The second export of the same media reads the file anew.
  for (const char* name : {"first.mov", "second.mov"}) {
    ExportOutcome outcome = exportMovie(media, path(name));
    EXPECT_EQ(outcome.status, kExportStatusCompleted);
    EXPECT_EQ(outcome.error, std::nullopt);
    expectCopiedStreams(readMovie(path("source.mp4")), {0, 1, 2}, readMovie(path(name)));

    struct stat st {};
    ASSERT_EQ(::stat(path(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
  }
  EXPECT_EQ(namesIn(directory_), (std::set<std::string>{"source.mp4", "first.mov", "second.mov"}));
}

TEST_F(RemuxTest, KeepsRotationAndDates) {
  // One step each: this ffmpeg sets a rotation only when copying, and not
  // while it writes QuickTime keys.
  ASSERT_TRUE(ffmpeg(std::string(kPicture) + " " + kSound + " " + kH264 + " -c:a aac " + path("upright.mp4")));
  ASSERT_TRUE(ffmpeg("-i " + path("upright.mp4") + " -c copy -metadata:s:v rotate=90 " + path("rotated.mp4")));
  ASSERT_TRUE(ffmpeg("-i " + path("rotated.mp4") +
                     " -c copy -movflags use_metadata_tags -metadata creation_time=2019-07-24T08:25:57Z"
                     " -metadata com.apple.quicktime.creationdate=2019-07-24T11:25:40+0300 " +
                     path("source.mp4")));
  auto media = openVideoMedia(path("source.mp4"));
  ASSERT_NE(media, nullptr);
  ASSERT_EQ(exportMovie(media, path("export.mov")).status, kExportStatusCompleted);

  MovieRecord source = readMovie(path("source.mp4"));
  MovieRecord exported = readMovie(path("export.mov"));
  ASSERT_FALSE(exported.streams.empty());
  EXPECT_NE(source.streams[0].rotation, 0);
  EXPECT_EQ(exported.streams[0].rotation, source.streams[0].rotation);
  EXPECT_EQ(exported.metadata["creation_time"], source.metadata["creation_time"]);
  EXPECT_NE(source.metadata["creation_time"], "");
  EXPECT_EQ(exported.metadata["com.apple.quicktime.creationdate"], "2019-07-24T11:25:40+0300");
  // The movie's own file type, not the source's.
  EXPECT_EQ(exported.metadata["major_brand"], "qt  ");
}

TEST_F(RemuxTest, GivesHevcTheHvc1Tag) {
  const std::string hevc = std::string(kPicture) + " -c:v libx265 -preset ultrafast -x265-params log-level=none ";
  if (!ffmpeg(hevc + "-tag:v hvc1 " + path("tagged.mov")) || !ffmpeg(hevc + path("untagged.mkv"))) {
    GTEST_SKIP() << "this ffmpeg cannot encode HEVC (libx265)";
  }
  for (const char* name : {"tagged.mov", "untagged.mkv"}) {
    SCOPED_TRACE(name);
    auto media = openVideoMedia(path(name));
    ASSERT_NE(media, nullptr);
    std::string exportPath = path(std::string(name) + ".export.mov");
    ASSERT_EQ(exportMovie(media, exportPath).status, kExportStatusCompleted);
    MovieRecord exported = readMovie(exportPath);
    expectCopiedStreams(readMovie(path(name)), {0}, exported);
    ASSERT_EQ(exported.streams.size(), 1u);
    EXPECT_EQ(exported.streams[0].tag, MKTAG('h', 'v', 'c', '1'));
  }
}

TEST_F(RemuxTest, LeavesOutStreamsQuickTimeCannotCarry) {
  std::ofstream(path("subtitles.srt")) << "1\n00:00:00,000 --> 00:00:00,500\nHello\n";
  // Opus is one the muxer family knows but a QuickTime movie refuses.
  ASSERT_TRUE(ffmpeg(std::string(kPicture) + " " + kSound + " " + kSound + " -i " + path("subtitles.srt") +
                     " -map 0 -map 1 -map 2 -map 3 " + kH264 + " -c:a:0 aac -c:a:1 libopus -c:s srt " +
                     path("source.mkv")));
  ASSERT_TRUE(ffmpeg(std::string(kPicture) + " " + kSound + " " + kH264 + " -c:a aac -timecode 01:00:00:00 " +
                     path("timecode.mov")));

  for (const char* name : {"source.mkv", "timecode.mov"}) {
    SCOPED_TRACE(name);
    auto media = openVideoMedia(path(name));
    ASSERT_NE(media, nullptr);
    std::string exportPath = path(std::string(name) + ".export.mov");
    ASSERT_EQ(exportMovie(media, exportPath).status, kExportStatusCompleted);
    MovieRecord source = readMovie(path(name));
    EXPECT_GT(source.streams.size(), 2u);
    expectCopiedStreams(source, {0, 1}, readMovie(exportPath));
  }
}

TEST_F(RemuxTest, MakesNoSessionForWhatCannotBecomeAQuickTimeMovie) {
  ASSERT_TRUE(ffmpeg(std::string(kPicture) + " -c:v libvpx-vp9 -deadline realtime -cpu-used 8 " + path("vp9.webm")));
  ASSERT_TRUE(ffmpeg(std::string(kPicture) + " " + kH264 + " " + path("h264.mp4")));

  auto vp9 = openVideoMedia(path("vp9.webm"));
  ASSERT_NE(vp9, nullptr);
  EXPECT_EQ(makeRemuxExportSession(vp9, kExportPresetPassthrough), nullptr);

  auto h264 = openVideoMedia(path("h264.mp4"));
  ASSERT_NE(h264, nullptr);
  EXPECT_EQ(makeRemuxExportSession(h264, "AVAssetExportPresetHighestQuality"), nullptr);
  EXPECT_EQ(makeRemuxExportSession(std::make_shared<PlatformMedia>(), kExportPresetPassthrough), nullptr);
  EXPECT_EQ(makeRemuxExportSession(nullptr, kExportPresetPassthrough), nullptr);
}

TEST_F(RemuxTest, NeverReplacesAnExistingFile) {
  ASSERT_TRUE(ffmpeg(std::string(kPicture) + " " + kH264 + " " + path("source.mp4")));
  std::ofstream(path("taken.mov")) << "precious";
  auto media = openVideoMedia(path("source.mp4"));
  ASSERT_NE(media, nullptr);

  ExportOutcome outcome = exportMovie(media, path("taken.mov"));
  EXPECT_EQ(outcome.status, kExportStatusFailed);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->localizedDescription, "creating the movie file: File exists");
  std::ifstream kept(path("taken.mov"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "precious");
  EXPECT_EQ(namesIn(directory_), (std::set<std::string>{"source.mp4", "taken.mov"}));
}

TEST_F(RemuxTest, FailedExportsLeaveNoFile) {
  ASSERT_TRUE(ffmpeg(std::string(kPicture) + " " + kSound + " " + kH264 + " -c:a aac -movflags faststart " +
                     path("whole.mp4")));
  fs::copy_file(path("whole.mp4"), path("cut.mp4"));
  // With its index first, a cut file still opens; its samples run past its end.
  fs::resize_file(path("cut.mp4"), fs::file_size(path("cut.mp4")) * 6 / 10);
  auto cut = openVideoMedia(path("cut.mp4"));
  auto whole = openVideoMedia(path("whole.mp4"));
  ASSERT_NE(cut, nullptr);
  ASSERT_NE(whole, nullptr);

  ExportOutcome outcome = exportMovie(cut, path("cut.mov"));
  EXPECT_EQ(outcome.status, kExportStatusFailed);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->localizedDescription, "the video file is truncated: End of file");

  outcome = exportMovie(whole, path("whole.mp4.mov"), "public.mpeg-4");
  EXPECT_EQ(outcome.status, kExportStatusFailed);
  ASSERT_TRUE(outcome.error);
  EXPECT_NE(outcome.error->localizedDescription.find("public.mpeg-4"), std::string::npos);

  outcome = exportMovie(whole, path("missing/whole.mov"));
  EXPECT_EQ(outcome.status, kExportStatusFailed);

  // A write failing half way, as on a full disk: a file size limit makes
  // writes fail with EFBIG once SIGXFSZ no longer ends the process.
  struct rlimit limit {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  struct rlimit small = limit;
  small.rlim_cur = 4096;
  auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  outcome = exportMovie(whole, path("whole.mov"));
  ::setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_EQ(outcome.status, kExportStatusFailed);
  ASSERT_TRUE(outcome.error);
  EXPECT_TRUE(outcome.error->localizedDescription.ends_with(": File too large")) << outcome.error->localizedDescription;

  EXPECT_EQ(namesIn(directory_), (std::set<std::string>{"whole.mp4", "cut.mp4"}));
}

TEST_F(RemuxTest, OpensOnlyVideoFiles) {
  ASSERT_TRUE(ffmpeg(std::string(kPicture) + " " + kSound + " " + kH264 + " -c:a aac " + path("whole.mp4")));
  fs::copy_file(path("whole.mp4"), path("cut.mp4"));
  // Without faststart the index is at the end, cut off here.
  fs::resize_file(path("cut.mp4"), fs::file_size(path("cut.mp4")) / 2);
  ASSERT_TRUE(ffmpeg(std::string(kSound) + " -c:a aac " + path("sound.m4a")));
  ASSERT_TRUE(ffmpeg(std::string(kPicture) + " -frames:v 1 " + path("picture.png")));
  std::ofstream(path("empty.mp4")).close();
  std::ofstream(path("text.mp4")) << "#EXTM3U\n#EXT-X-ENDLIST\n";
  fs::create_symlink(path("whole.mp4"), path("link.mp4"));
  fs::create_directory(path("folder.mp4"));

  EXPECT_NE(openVideoMedia(path("whole.mp4")), nullptr);
  for (const char* name :
       {"cut.mp4", "sound.m4a", "picture.png", "empty.mp4", "text.mp4", "link.mp4", "folder.mp4", "absent.mp4"}) {
    EXPECT_EQ(openVideoMedia(path(name)), nullptr) << name;
  }
}

TEST(SplitAmrNbFramesTest, GivesEachFrameItsOwnPacketAndTime) {
  // Modes 7 (32 bytes), 0 (13 bytes) and 15 (no data, 1 byte), as one 3GP
  // sample at 2 seconds, in a 1/1000 time base where frames are 20 ms.
  std::vector<uint8_t> sample(32 + 13 + 1);
  sample[0] = 7 << 3;
  sample[32] = 0 << 3;
  sample[45] = 15 << 3;
  AVPacket* packet = av_packet_alloc();
  ASSERT_EQ(av_new_packet(packet, static_cast<int>(sample.size())), 0);
  std::copy(sample.begin(), sample.end(), packet->data);
  packet->pts = packet->dts = 2000;

  std::vector<std::vector<int64_t>> frames;  // offset, size, pts, dts, duration
  int result = splitAmrNbFrames(*packet, {1, 1000}, [&](AVPacket& frame) {
    frames.push_back({frame.data - packet->data, frame.size, frame.pts, frame.dts, frame.duration});
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(frames, (std::vector<std::vector<int64_t>>{
                        {0, 32, 2000, 2000, 20}, {32, 13, 2020, 2020, 20}, {45, 1, 2040, 2040, 20}}));

  // A frame running past the end, or a mode no stored frame has.
  for (uint8_t header : {uint8_t{7 << 3}, uint8_t{9 << 3}}) {
    packet->data[45] = header;
    EXPECT_EQ(splitAmrNbFrames(*packet, {1, 1000}, [](AVPacket&) { return 0; }), AVERROR_INVALIDDATA);
  }
  packet->data[45] = 15 << 3;
  EXPECT_EQ(splitAmrNbFrames(*packet, {1, 1000}, [](AVPacket&) { return AVERROR(ENOSPC); }), AVERROR(ENOSPC));
  av_packet_free(&packet);
}

class MovieFileTest : public RemuxTest, public ::testing::WithParamInterface<MovieFile::Staging> {
 protected:
  std::unique_ptr<MovieFile> create(const std::string& name) {
    MovieFile::Created created = MovieFile::create(path(name), GetParam());
    EXPECT_EQ(created.error, 0);
    if (created.file) avio_write(created.file->io(), reinterpret_cast<const unsigned char*>("movie"), 5);
    return std::move(created.file);
  }
};

TEST_P(MovieFileTest, AppearsOnlyWhenPublished) {
  auto movie = create("movie.mov");
  ASSERT_NE(movie, nullptr);
  EXPECT_FALSE(fs::exists(path("movie.mov")));
  ASSERT_EQ(movie->publish(), 0);
  movie.reset();

  EXPECT_EQ(namesIn(directory_), std::set<std::string>{"movie.mov"});
  std::ifstream written(path("movie.mov"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), "movie");
  EXPECT_EQ(MovieFile::create(path("movie.mov"), GetParam()).error, AVERROR(EEXIST));
}

TEST_P(MovieFileTest, NeverReplacesANameTakenMeanwhile) {
  auto movie = create("movie.mov");
  ASSERT_NE(movie, nullptr);
  std::ofstream(path("movie.mov")) << "theirs";
  EXPECT_EQ(movie->publish(), AVERROR(EEXIST));
  movie.reset();

  std::ifstream kept(path("movie.mov"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "theirs");
  EXPECT_EQ(namesIn(directory_), std::set<std::string>{"movie.mov"});
}

TEST_P(MovieFileTest, LeavesNothingWhenAbandoned) {
  auto movie = create("movie.mov");
  ASSERT_NE(movie, nullptr);
  movie.reset();
  EXPECT_TRUE(namesIn(directory_).empty());
}

INSTANTIATE_TEST_SUITE_P(Staging, MovieFileTest,
                         ::testing::Values(MovieFile::Staging::kUnnamed, MovieFile::Staging::kHiddenName));

}  // namespace
}  // namespace vek::linux_library
