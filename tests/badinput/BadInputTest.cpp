// Bad input files through every command of mervix-cli that reads one:
// convert, info, send, compress, download and module. Each case ends by
// itself (no crash, no hang, no sanitizer report) with a clear result: the
// exit code and, for a refusal, a reason on standard error. The chosen
// input is never modified: its bytes, size, mode and modification time are
// compared before and after. The device side is the simulator in download
// mode, modelling a device whose firmware area is 2,031,616 bytes.
//
// Big inputs are generated in a temporary folder at test time.
#include "tests/support/Programs.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/DevsimProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace mervix {
namespace {

using testing::DevsimProcess;
using testing::ProcessResult;

constexpr std::uint32_t kAreaSize = 2031616;
constexpr int kCommandTimeoutMs = 60000;

std::string CliPath() {
  if (const char* env = std::getenv("MERVIX_CLI")) return env;
  return ::mervix::testing::CliPath();
}

// Bytes, size, mode and modification time of a path (a file or a folder).
struct PathState {
  bool exists = false;
  bool isDirectory = false;
  off_t size = 0;
  mode_t mode = 0;
  timespec mtime{};
  std::uint64_t hash = 0;  // FNV-1a of the contents of a file
  std::size_t entries = 0;  // entries of a folder
};

PathState Snapshot(const std::string& path) {
  PathState s;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return s;
  s.exists = true;
  s.isDirectory = S_ISDIR(st.st_mode);
  s.size = st.st_size;
  s.mode = st.st_mode;
  s.mtime = st.st_mtim;
  if (s.isDirectory) {
    if (DIR* d = ::opendir(path.c_str())) {
      while (::readdir(d)) ++s.entries;
      ::closedir(d);
    }
    return s;
  }
  // Read as root would, whatever the mode: the unreadable-file case checks
  // its file too.
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return s;
  std::uint64_t h = 1469598103934665603ull;
  std::vector<unsigned char> buffer(1 << 20);
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) h = (h ^ buffer[static_cast<std::size_t>(i)]) * 1099511628211ull;
  }
  ::close(fd);
  s.hash = h;
  return s;
}

void ExpectUnchanged(const PathState& before, const std::string& path) {
  const PathState after = Snapshot(path);
  EXPECT_TRUE(after.exists) << path << " has gone";
  EXPECT_EQ(after.size, before.size) << path;
  EXPECT_EQ(after.mode, before.mode) << path;
  EXPECT_EQ(after.hash, before.hash) << path << " was modified";
  EXPECT_EQ(after.entries, before.entries) << path;
  EXPECT_TRUE(after.mtime.tv_sec == before.mtime.tv_sec && after.mtime.tv_nsec == before.mtime.tv_nsec)
      << path << " has a new modification time";
}

// A fast, reproducible byte stream for the garbage files.
std::string Garbage(std::size_t size, std::uint64_t seed) {
  std::string bytes(size, '\0');
  std::uint64_t x = seed | 1;
  for (std::size_t i = 0; i < size; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(&bytes[i], &x, std::min<std::size_t>(8, size - i));
  }
  return bytes;
}

// An S1/S2/S3 record with a correct checksum.
std::string Record(int type, std::uint32_t address, const std::vector<std::uint8_t>& data) {
  const int addressBytes = type + 1;
  std::vector<std::uint8_t> body;
  for (int i = addressBytes - 1; i >= 0; --i) body.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
  body.insert(body.end(), data.begin(), data.end());
  unsigned sum = static_cast<unsigned>(body.size() + 1);
  std::string text = "S" + std::to_string(type);
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(body.size() + 1));
  text += hex;
  for (std::uint8_t b : body) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    text += hex;
    sum += b;
  }
  std::snprintf(hex, sizeof hex, "%02X", ~sum & 0xFFu);
  return text + hex;
}

// An image with the "REV-" tag and version 1.05, the rest a pattern.
std::vector<std::uint8_t> TaggedImage(std::size_t size) {
  std::vector<std::uint8_t> image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 11));
  if (size >= 14) {
    std::memcpy(image.data() + 8, "REV-", 4);
    image[12] = 1;
    image[13] = 5;
  }
  return image;
}

// The image as S3 records of 32 bytes from |base| on, with an S7 end.
std::string SRecordText(const std::vector<std::uint8_t>& image, std::uint32_t base) {
  std::string text = "S00600004844521B\r\n";
  for (std::size_t at = 0; at < image.size(); at += 32) {
    const std::size_t n = std::min<std::size_t>(32, image.size() - at);
    text += Record(3, base + static_cast<std::uint32_t>(at),
                   std::vector<std::uint8_t>(image.begin() + static_cast<long>(at), image.begin() + static_cast<long>(at + n)));
    text += "\r\n";
  }
  return text + "S70500000000FA\r\n";
}

class BadInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/mervix-badinput-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
    dir_ = pattern;
    std::string error;
    ASSERT_TRUE(sim_.Start({"--download-mode", "--max-size", std::to_string(kAreaSize)}, &error)) << error;
  }

  void TearDown() override {
    sim_.Stop();
    if (!dir_.empty()) std::system(("chmod -R u+rwx '" + dir_ + "' 2>/dev/null; rm -rf '" + dir_ + "'").c_str());
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = Path(name);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr) << path << ": " << std::strerror(errno);
    if (f) {
      EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
      std::fclose(f);
    }
    return path;
  }
  std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    return Write(name, std::string(bytes.begin(), bytes.end()));
  }

  ProcessResult Cli(std::vector<std::string> args, const std::vector<std::string>& prefix = {},
                    int timeoutMs = kCommandTimeoutMs) {
    std::vector<std::string> argv = prefix;
    argv.push_back(CliPath());
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::RunProcess(argv, std::nullopt, {"LANG=C", "LC_ALL=C"}, timeoutMs);
  }

  // Root reads and writes any file whatever its mode, and CI runs as root:
  // there the commands run as the unprivileged user "nobody" through
  // setpriv, in a test folder that user may write to. False when neither
  // works (the caller skips).
  bool Unprivileged(std::vector<std::string>* prefix) {
    prefix->clear();
    if (::geteuid() != 0) return true;
    if (::access("/usr/bin/setpriv", X_OK) != 0) return false;
    *prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    EXPECT_EQ(::chmod(dir_.c_str(), 0777), 0);
    return true;
  }

  // The commands that write a file made from an input file, each with an
  // input it accepts: compress an image, decompress a compressed image,
  // convert S-records as firmware and as a user module.
  struct Writer {
    std::string what;
    std::string input;
    std::vector<std::string> (*args)(const std::string& in, const std::string& out);
  };
  std::vector<Writer> Writers() {
    const std::string image = Write("writer.img", TaggedImage(6000));
    const std::string mot = Write("writer.mot", SRecordText(TaggedImage(600), 0));
    const std::string coded = Path("writer.lzs");
    const ProcessResult compressed = Cli({"compress", image, coded});
    EXPECT_EQ(compressed.exitCode, 0) << compressed.err;
    return {
        {"compress", image, [](const std::string& in, const std::string& out) {
           return std::vector<std::string>{"compress", in, out};
         }},
        {"decompress", coded, [](const std::string& in, const std::string& out) {
           return std::vector<std::string>{"decompress", in, out};
         }},
        {"convert", mot, [](const std::string& in, const std::string& out) {
           return std::vector<std::string>{"convert", "--base-address", "0", in, out};
         }},
        {"convert --module", mot, [](const std::string& in, const std::string& out) {
           return std::vector<std::string>{"convert", "--module", in, out};
         }},
    };
  }

  // The device options of send, download and module, with --yes and a
  // time-out so that a run that should have been refused cannot wait.
  std::vector<std::string> Device(std::vector<std::string> args) const {
    std::vector<std::string> all = {args[0], "--host", "127.0.0.1", "--port", std::to_string(sim_.Port()), "--yes",
                                    "--timeout", "10"};
    all.insert(all.end(), args.begin() + 1, args.end());
    return all;
  }
  std::vector<std::string> Download(const std::string& file, const std::string& base = "0") const {
    return Device({"download", "--work-dir", dir_, "--base-address", base, file});
  }
  std::vector<std::string> Module(const std::string& file, const std::string& address = "0") const {
    return Device({"module", "--work-dir", dir_, "--address", address, file});
  }
  std::vector<std::string> Send(const std::string& file) const { return Device({"send", file}); }

  // The image of the latest completed download. The simulator writes it
  // when the connection has ended, which may be just after the command
  // exits, so this waits up to five seconds for it to appear whole.
  std::vector<std::uint8_t> Received(std::size_t expectedSize) {
    std::vector<std::uint8_t> image;
    for (int i = 0; i < 100; ++i) {
      image = sim_.ReceivedImage();
      if (image.size() == expectedSize) break;
      ::usleep(50000);
    }
    return image;
  }

  // What the device received over the whole test (the record is final once
  // the simulator has stopped).
  testing::DevsimRecord FinalRecord() {
    sim_.Stop();
    return sim_.Record();
  }

  std::string dir_;
  DevsimProcess sim_;
};

// The command ended by itself, with no sanitizer report, and with |code|;
// a refusal names its reason on standard error.
void ExpectResult(const ProcessResult& r, int code, const std::string& reason, const std::string& what) {
  ASSERT_TRUE(r.started) << what << ": " << r.error;
  EXPECT_FALSE(r.timedOut) << what << " hung";
  EXPECT_EQ(r.signal, 0) << what << " died of signal " << r.signal;
  EXPECT_EQ(r.exitCode, code) << what << "\nstdout: " << r.out << "\nstderr: " << r.err;
  EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << what << ": " << r.err;
  EXPECT_EQ(r.err.find("runtime error:"), std::string::npos) << what << ": " << r.err;
  if (code != 0) {
    EXPECT_NE(r.err.find(reason), std::string::npos) << what << ": the reason \"" << reason << "\" is missing\n"
                                                     << r.err;
  }
}

// ---------------------------------------------------------------------------
// Garbage, long lines, NUL bytes

TEST_F(BadInputTest, FiftyMegabytesOfGarbageAreRefusedWhereTheyMustBeParsed) {
  // 'S' first, so that the module command takes it for S-record text too.
  const std::string path = Write("garbage.mot", "S1" + Garbage(50u << 20, 0x9E3779B97F4A7C15ull));
  const PathState before = Snapshot(path);

  ExpectResult(Cli({"convert", "--base-address", "0", path, Path("fw.img")}), 1, "line 1: result", "convert");
  ExpectResult(Cli({"convert", "--module", path, Path("mod.img")}), 1, "line 1: result", "convert --module");
  ExpectResult(Cli(Download(path)), 7, "could not convert", "download");
  ExpectResult(Cli(Module(path)), 7, "could not convert", "module");
  // A raw send announces the size, which the device refuses before a block.
  ExpectResult(Cli(Send(path)), 1, "NAK(Download size error)", "send");
  const ProcessResult info = Cli({"info", path});
  ExpectResult(info, 0, "", "info");
  EXPECT_NE(info.out.find("length: 52428802 bytes"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("absent"), std::string::npos) << info.out;
  ExpectResult(Cli({"compress", path, Path("garbage.c")}), 0, "", "compress");

  ExpectUnchanged(before, path);
  const testing::DevsimRecord record = FinalRecord();
  EXPECT_EQ(record.Number("bytes_received"), 0);
  EXPECT_EQ(record.Number("size_requests"), 1) << "only the raw send reaches the size request";
}

TEST_F(BadInputTest, MegabyteLinesAreSplitOrCutAndTheFaultNamesItsLine) {
  // Line 1 a record, line 2 a record followed by a megabyte of digits, line
  // 3 a megabyte of text that is no record. The firmware reader splits line
  // 2 after 1,023 characters, so its remainder fails as line 2; the module
  // reader keeps the first 1,024 characters of every line and fails at 3.
  const std::string text = Record(1, 0x0000, std::vector<std::uint8_t>(16, 0x11)) + "\n" +
                           Record(1, 0x0010, std::vector<std::uint8_t>(16, 0x22)) + std::string(1 << 20, '0') +
                           "\n" + std::string(1 << 20, 'A') + "\n";
  const std::string path = Write("long.mot", text);
  const PathState before = Snapshot(path);

  ExpectResult(Cli({"convert", "--base-address", "0", path, Path("fw.img")}), 1, "line 2: result -1", "convert");
  ExpectResult(Cli({"convert", "--module", path, Path("mod.img")}), 1, "line 3: result -1", "convert --module");
  ExpectResult(Cli(Download(path)), 7, "line 2: result -1", "download");
  ExpectResult(Cli(Module(path)), 7, "line 3: result -1", "module");
  ExpectUnchanged(before, path);
  EXPECT_EQ(FinalRecord().Number("size_requests"), 0);
}

TEST_F(BadInputTest, NulBytesInsideARecordAreNotHexDigits) {
  std::string second = Record(1, 0x0010, std::vector<std::uint8_t>(16, 0x33));
  second[9] = '\0';  // inside the data
  const std::string path =
      Write("nul.mot", Record(1, 0x0000, std::vector<std::uint8_t>(16, 0x11)) + "\n" + second + "\n" + std::string(64, '\0'));
  const PathState before = Snapshot(path);

  ExpectResult(Cli({"convert", "--base-address", "0", path, Path("fw.img")}), 1, "line 2: result -6", "convert");
  ExpectResult(Cli({"convert", "--module", path, Path("mod.img")}), 1, "line 2: result -6", "convert --module");
  ExpectResult(Cli(Download(path)), 7, "line 2: result -6", "download");
  ExpectResult(Cli(Module(path)), 7, "line 2: result -6", "module");
  ExpectUnchanged(before, path);

  // A line of nothing but NUL bytes is no record at all.
  const std::string only = Write("nul-line.mot", std::string(100, '\0') + "\n");
  ExpectResult(Cli({"convert", "--base-address", "0", only, Path("fw.img")}), 1, "line 1: result -1", "convert");
  EXPECT_EQ(FinalRecord().Number("size_requests"), 0);
}

// ---------------------------------------------------------------------------
// Files that cannot be read as files

TEST_F(BadInputTest, AFolderChosenAsTheFileIsRefusedAsAFolderByEveryCommand) {
  const std::string folder = Path("chosen.mot");
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  const PathState before = Snapshot(folder);

  ExpectResult(Cli({"convert", "--base-address", "0", folder, Path("fw.img")}), 1, "folder", "convert");
  ExpectResult(Cli({"convert", "--module", folder, Path("mod.img")}), 1, "folder", "convert --module");
  ExpectResult(Cli({"info", folder}), 1, "folder", "info");
  ExpectResult(Cli(Send(folder)), 7, "folder", "send");
  ExpectResult(Cli(Download(folder)), 7, "folder", "download");
  ExpectResult(Cli(Module(folder)), 7, "folder", "module");
  // The coder's output is not even created for a folder.
  ExpectResult(Cli({"compress", folder, Path("out.c")}), 1, "folder", "compress");
  EXPECT_FALSE(Snapshot(Path("out.c")).exists);
  ExpectUnchanged(before, folder);
  EXPECT_EQ(FinalRecord().Number("connections"), 0);
}

TEST_F(BadInputTest, AFileWithoutReadPermissionIsRefusedWithTheSystemsReason) {
  std::vector<std::string> asUser;
  if (!Unprivileged(&asUser)) GTEST_SKIP() << "running as root without setpriv";
  const std::string path = Write("locked.img", TaggedImage(4096));
  // The same user reads a readable file beside it, so the mode is all that
  // stands in the way below.
  const std::string readable = Write("readable.img", TaggedImage(4096));
  ExpectResult(Cli({"info", readable}, asUser), 0, "", "info of a readable file");
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  const PathState before = Snapshot(path);

  const std::string denied = "Permission denied";
  ExpectResult(Cli({"convert", "--base-address", "0", path, Path("fw.img")}, asUser), 1, denied, "convert");
  ExpectResult(Cli({"convert", "--module", path, Path("mod.img")}, asUser), 1, denied, "convert --module");
  ExpectResult(Cli({"info", path}, asUser), 1, denied, "info");
  ExpectResult(Cli(Send(path), asUser), 7, denied, "send");
  ExpectResult(Cli({"compress", path, Path("out.c")}, asUser), 1, denied, "compress");
  ExpectResult(Cli(Download(path), asUser), 7, denied, "download");
  ExpectResult(Cli(Module(path), asUser), 7, denied, "module");
  ExpectUnchanged(before, path);
  EXPECT_EQ(FinalRecord().Number("connections"), 0);
}

TEST_F(BadInputTest, EmptyAndElevenByteFilesAreNeverSent) {
  const std::string empty = Write("empty.img", std::string());
  const std::string emptyMot = Write("nothing.mot", std::string());
  // The tag would begin at offset 8; eleven bytes hold only "REV".
  const std::string eleven = Write("eleven.img", std::string("\x01\x02\x03\x04\x05\x06\x07\x08REV", 11));
  const PathState beforeEmpty = Snapshot(empty), beforeMot = Snapshot(emptyMot), beforeEleven = Snapshot(eleven);

  ExpectResult(Cli(Send(empty)), 7, "empty", "send of 0 bytes");
  ExpectResult(Cli(Download(empty)), 7, "empty", "download of 0 bytes");
  ExpectResult(Cli(Download(emptyMot)), 7, "empty", "download of an empty S-record file");
  ExpectResult(Cli(Module(empty)), 7, "empty", "module of 0 bytes");
  ExpectResult(Cli(Download(eleven)), 7, "\"REV-\"", "download of 11 bytes");
  ExpectResult(Cli(Module(eleven)), 7, "\"REV-\"", "module of 11 bytes");
  const ProcessResult info = Cli({"info", eleven});
  ExpectResult(info, 0, "", "info");
  EXPECT_NE(info.out.find("length: 11 bytes"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("absent"), std::string::npos) << info.out;
  // An empty S-record file is an empty image, which the conversion writes as such.
  const ProcessResult converted = Cli({"convert", "--base-address", "0", emptyMot, Path("fw.img")});
  ExpectResult(converted, 0, "", "convert");
  EXPECT_EQ(Snapshot(Path("fw.img")).size, 0);

  ExpectUnchanged(beforeEmpty, empty);
  ExpectUnchanged(beforeMot, emptyMot);
  ExpectUnchanged(beforeEleven, eleven);
  const testing::DevsimRecord record = FinalRecord();
  EXPECT_EQ(record.Number("size_requests"), 0) << "an image without content was announced";
  EXPECT_EQ(record.Number("bytes_received"), 0);
}

TEST_F(BadInputTest, NoCommandBlocksOnANamedPipe) {
  // A pipe nobody writes to or reads from would stall an open for ever; the
  // commands refuse it at once. A hang ends at the time-out and fails here.
  const std::string pipe = Path("pipe");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0666), 0) << std::strerror(errno);
  constexpr int kQuickMs = 10000;
  const std::string reason = "not a regular file";
  for (const Writer& w : Writers()) {
    ExpectResult(Cli(w.args(pipe, Path("out")), {}, kQuickMs), 1, reason, w.what + " from a pipe");
    EXPECT_FALSE(Snapshot(Path("out")).exists) << w.what;
    const PathState before = Snapshot(w.input);
    ExpectResult(Cli(w.args(w.input, pipe), {}, kQuickMs), 1, reason, w.what + " into a pipe");
    ExpectUnchanged(before, w.input);
  }
  ExpectResult(Cli({"info", pipe}, {}, kQuickMs), 1, reason, "info");
  ExpectResult(Cli(Send(pipe), {}, kQuickMs), 7, reason, "send");
  ExpectResult(Cli(Download(pipe), {}, kQuickMs), 7, reason, "download");
  ExpectResult(Cli(Module(pipe), {}, kQuickMs), 7, reason, "module");
  struct stat st {};
  ASSERT_EQ(::lstat(pipe.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe was replaced by a file";
  EXPECT_EQ(FinalRecord().Number("connections"), 0);
}

TEST_F(BadInputTest, AnOutputThatIsTheInputIsRefusedByEveryCommandThatWritesOne) {
  // Named directly, through "./", a symbolic link and a hard link: writing
  // the output would empty or replace the input before or after it was
  // read, and the run be reported as a success.
  const std::vector<Writer> writers = Writers();
  for (std::size_t i = 0; i < writers.size(); ++i) {
    const Writer& w = writers[i];
    const std::string slash = w.input.substr(0, w.input.rfind('/'));
    const std::string name = w.input.substr(slash.size() + 1);
    const std::string symlink = Path("sym" + std::to_string(i)), hardlink = Path("hard" + std::to_string(i));
    ASSERT_EQ(::symlink(w.input.c_str(), symlink.c_str()), 0);
    ASSERT_EQ(::link(w.input.c_str(), hardlink.c_str()), 0);
    const PathState before = Snapshot(w.input);
    for (const std::string& output : {w.input, slash + "/./" + name, symlink, hardlink}) {
      ExpectResult(Cli(w.args(w.input, output)), 1, "is the input file itself", w.what + " onto " + output);
      ExpectUnchanged(before, w.input);
    }
  }
}

TEST_F(BadInputTest, AnOutputWithoutWritePermissionIsRefusedAndKept) {
  // The folder is writable, so an output replaced through a new file and a
  // rename would slip past the file's own mode: every writer refuses it
  // with the system's reason and leaves the folder as it was.
  std::vector<std::string> asUser;
  if (!Unprivileged(&asUser)) GTEST_SKIP() << "running as root without setpriv";
  const std::vector<Writer> writers = Writers();
  const std::string output = Write("kept.out", std::string("an older output"));
  ASSERT_EQ(::chmod(output.c_str(), 0444), 0);
  // The same user writes a new output beside it, so the mode is all that
  // stands in the way below.
  for (std::size_t i = 0; i < writers.size(); ++i) {
    ExpectResult(Cli(writers[i].args(writers[i].input, Path("new-" + std::to_string(i))), asUser), 0, "",
                 writers[i].what + " to a new file");
  }
  const PathState before = Snapshot(output), folder = Snapshot(dir_);
  for (const Writer& w : writers) {
    ExpectResult(Cli(w.args(w.input, output), asUser), 1, "Permission denied", w.what);
    ExpectUnchanged(before, output);
    ExpectUnchanged(folder, dir_);
  }
}

TEST_F(BadInputTest, LoneCarriageReturnLineEndsAreRefusedByTheUserModuleConversion) {
  // Three records of 2, 2 and 1 bytes ended by CR alone. The firmware
  // conversion reads CR as a line end; the user module conversion reads
  // only LF, so the file is one line with the later records in its ignored
  // text. That must fail with its line, not give the first record alone.
  const std::string text = "S00600004844521B\r" + Record(1, 0x0000, {0x11, 0x22}) + "\r" +
                           Record(1, 0x0002, {0x33, 0x44}) + "\r" + Record(1, 0x0004, {0x55}) + "\rS9030000FC\r";
  const std::string path = Write("lone-cr.mot", text);
  const PathState before = Snapshot(path);
  const std::string reason = "line 1: result -7 (lone CR line ends are not read by this conversion)";

  ExpectResult(Cli({"convert", "--module", path, Path("mod.img")}), 1, reason, "convert --module");
  EXPECT_FALSE(Snapshot(Path("mod.img")).exists);
  ExpectResult(Cli(Module(path)), 7, reason, "module");
  ExpectResult(Cli({"convert", "--base-address", "0", path, Path("fw.img")}), 0, "", "convert");
  EXPECT_EQ(Snapshot(Path("fw.img")).size, 5);
  ExpectUnchanged(before, path);
  EXPECT_EQ(FinalRecord().Number("size_requests"), 0);
}

// ---------------------------------------------------------------------------
// The size of the firmware area

TEST_F(BadInputTest, AnImageOfTheAreaSizeTravelsAndOneByteMoreIsRefused) {
  const std::vector<std::uint8_t> exact = TaggedImage(kAreaSize);
  std::vector<std::uint8_t> over = exact;
  over.push_back(0x5A);
  const std::string exactPath = Write("exact.img", exact);
  const std::string overPath = Write("over.img", over);
  const PathState beforeExact = Snapshot(exactPath), beforeOver = Snapshot(overPath);

  ExpectResult(Cli(Download(exactPath)), 0, "", "download of 2,031,616 bytes");
  EXPECT_EQ(Received(exact.size()), exact);
  ExpectResult(Cli(Download(overPath)), 1, "NAK(Download size error)", "download of 2,031,617 bytes");
  ExpectResult(Cli(Send(overPath)), 1, "NAK(Download size error)", "send of 2,031,617 bytes");
  ExpectResult(Cli(Module(overPath)), 1, "NAK(Download size error)", "module of 2,031,617 bytes");
  const ProcessResult info = Cli({"info", overPath});
  ExpectResult(info, 0, "", "info");
  EXPECT_NE(info.out.find("length: 2031617 bytes"), std::string::npos) << info.out;
  ExpectResult(Cli({"compress", overPath, Path("over.c")}), 0, "", "compress");

  ExpectUnchanged(beforeExact, exactPath);
  ExpectUnchanged(beforeOver, overPath);
  const testing::DevsimRecord record = FinalRecord();
  EXPECT_EQ(record.Number("downloads_completed"), 1);
  EXPECT_EQ(record.Number("size_requests"), 4);
}

TEST_F(BadInputTest, SRecordsThatFillTheAreaConvertAndOneByteMoreIsOutsideIt) {
  // The last record ends on the area's last byte; in the second file it
  // reaches one byte beyond.
  const std::vector<std::uint8_t> head = TaggedImage(64);
  const std::string text = SRecordText(head, 0x10000);
  const std::string last = Record(3, 0x10000 + kAreaSize - 16, std::vector<std::uint8_t>(16, 0xA5));
  const std::string beyond = Record(3, 0x10000 + kAreaSize - 15, std::vector<std::uint8_t>(16, 0xA5));
  const std::string fits = Write("fits.mot", text + last + "\r\n");
  const std::string spills = Write("spills.mot", text + beyond + "\r\n");
  const PathState beforeFits = Snapshot(fits), beforeSpills = Snapshot(spills);

  const ProcessResult converted = Cli({"convert", "--base-address", "10000", fits, Path("fits.img")});
  ExpectResult(converted, 0, "", "convert");
  EXPECT_EQ(Snapshot(Path("fits.img")).size, static_cast<off_t>(kAreaSize));
  ExpectResult(Cli({"convert", "--base-address", "10000", spills, Path("spills.img")}), 1, "result -4", "convert");
  // The download converts beside the input, as "<name>.img".
  ExpectResult(Cli(Download(spills, "10000")), 7, "result -4", "download");

  ExpectUnchanged(beforeFits, fits);
  ExpectUnchanged(beforeSpills, spills);
  EXPECT_EQ(FinalRecord().Number("size_requests"), 0);
}

// ---------------------------------------------------------------------------
// Paths

TEST_F(BadInputTest, NonAsciiPathsWorkLikeAnyOther) {
  const std::string folder = Path("ﾌｧｰﾑｳｪｱ 更新");
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  const std::vector<std::uint8_t> image = TaggedImage(5000);
  // Katakana, and a name that is not UTF-8 at all.
  const std::string mot = folder + "/ﾃﾞｰﾀ.mot";
  const std::string raw = folder + "/\xff\xfe\x80.img";
  {
    std::FILE* f = std::fopen(mot.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::string text = SRecordText(image, 0);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    f = std::fopen(raw.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
  }
  const PathState beforeMot = Snapshot(mot), beforeRaw = Snapshot(raw);

  ExpectResult(Cli({"convert", "--base-address", "0", mot, folder + "/出力.img"}), 0, "", "convert");
  EXPECT_EQ(Snapshot(folder + "/出力.img").size, 5000);
  ExpectResult(Cli(Download(mot)), 0, "", "download of an S-record file");
  EXPECT_EQ(Received(image.size()), image);
  ExpectResult(Cli(Send(raw)), 0, "", "send");
  EXPECT_EQ(Received(image.size()), image);
  ExpectResult(Cli({"info", raw}), 0, "", "info");
  ExpectResult(Cli({"compress", raw, folder + "/圧縮.img"}), 0, "", "compress");
  ExpectResult(Cli(Download(folder + "/ない.img")), 7, "No such file", "download of a missing file");

  ExpectUnchanged(beforeMot, mot);
  ExpectUnchanged(beforeRaw, raw);
  EXPECT_EQ(FinalRecord().Number("downloads_completed"), 2);
}

TEST_F(BadInputTest, PathsNearAndBeyondTheSystemLimit) {
  // Folders of 200 characters, made relative to each other because the
  // system refuses whole paths over 4,095 bytes.
  const std::string part(200, 'd');
  int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  std::string path = dir_;
  std::string nearLimit;
  for (int level = 0; level < 22; ++level) {
    ASSERT_EQ(::mkdirat(fd, part.c_str(), 0755), 0) << level;
    const int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    ASSERT_GE(next, 0);
    fd = next;
    path += "/" + part;
    if (path.size() < 3500) nearLimit = path;
  }
  const std::string text = SRecordText(TaggedImage(256), 0);
  const int file = ::openat(fd, "deep.mot", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(file, 0);
  ASSERT_EQ(::write(file, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(file);
  ::close(fd);
  const std::string tooLong = path + "/deep.mot";
  ASSERT_GT(tooLong.size(), 4096u);

  ExpectResult(Cli({"convert", "--base-address", "0", tooLong, Path("fw.img")}), 1, "File name too long", "convert");
  ExpectResult(Cli({"convert", "--module", tooLong, Path("mod.img")}), 1, "File name too long", "convert --module");
  ExpectResult(Cli({"info", tooLong}), 1, "File name too long", "info");
  ExpectResult(Cli(Send(tooLong)), 7, "File name too long", "send");
  ExpectResult(Cli({"compress", tooLong, Path("out.c")}), 1, "File name too long", "compress");
  ExpectResult(Cli(Download(tooLong)), 7, "File name too long", "download");
  ExpectResult(Cli(Module(tooLong)), 7, "File name too long", "module");

  // Just under the limit everything works, the output beside the input.
  const std::string near = nearLimit + "/near.mot";
  ASSERT_LT(near.size(), 4000u);
  {
    std::FILE* f = std::fopen(near.c_str(), "wb");
    ASSERT_NE(f, nullptr) << std::strerror(errno);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  const PathState before = Snapshot(near);
  ExpectResult(Cli(Download(near)), 0, "", "download near the limit");
  EXPECT_EQ(Snapshot(nearLimit + "/near.img").size, 256);
  ExpectUnchanged(before, near);
  EXPECT_EQ(FinalRecord().Number("downloads_completed"), 1);
}

// ---------------------------------------------------------------------------
// Address texts

TEST_F(BadInputTest, ABaseAddressTextOf40CharactersIsRefusedByConvert) {
  const std::string path = Write("fw.mot", SRecordText(TaggedImage(256), 0));
  const std::string forty = "0000000000000000000000000000000000010000";
  ASSERT_EQ(forty.size(), 40u);
  const ProcessResult r = Cli({"convert", "--base-address", forty, path, Path("fw.img")});
  ExpectResult(r, 2, "is not 1 to 8 hexadecimal digits", "convert");
  EXPECT_FALSE(Snapshot(Path("fw.img")).exists);
}

// The download and module commands take the first 15 characters of a longer
// address text: a 40-character text that names 10000 hex reads as 0, and a
// module is then written to another sector than the one typed. They must
// refuse such a text before anything is sent. Disabled until the operations
// refuse it.
TEST_F(BadInputTest, AddressTextsOf40CharactersAreRefusedBeforeAnythingIsSent) {
  const std::string forty = "0000000000000000000000000000000000010000";
  const std::string mot = Write("fw.mot", SRecordText(TaggedImage(256), 0x10000));
  const std::string module = Write("module.img", TaggedImage(512));

  const ProcessResult download = Cli(Download(mot, forty));
  EXPECT_NE(download.exitCode, 0) << download.out << download.err;
  EXPECT_FALSE(download.err.empty());
  const ProcessResult mod = Cli(Module(module, forty));
  EXPECT_NE(mod.exitCode, 0) << mod.out << mod.err;
  EXPECT_FALSE(mod.err.empty());
  const testing::DevsimRecord record = FinalRecord();
  EXPECT_EQ(record.Number("size_requests"), 0);
  EXPECT_EQ(record.Number("sector_requests"), 0);
}

}  // namespace
}  // namespace mervix
