// The preparation of an image without an operator: each function takes what
// the operator gave (the file, the base address, "Compress", the work
// folder; the module file and its address; a ready image) and returns the
// image ready to be sent, or why not. The front ends' own flows (the
// window's chooser and Base Address dialog, the command line's options and
// prompts) gather those inputs, call these, and show the end with
// ShowPreparationEnd.
//
// A prepared image holds its file open, with the access the runs use, from
// the read of its header on: its length, header and SHA-256 come from that
// one open, and every run reads its blocks from it (proven unchanged), so
// the bytes sent are the bytes whose version was shown.
#pragma once

#include "compress/CoderInterfaces.h"
#include "image/FirmwareConverter.h"
#include "image/ImageHeader.h"
#include "image/UserModuleConverter.h"
#include "operations/Operator.h"
#include "operations/PreparedImage.h"
#include "resources/Failure.h"
#include "resources/FileAccess.h"
#include "resources/LogPane.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace mervix {

// How a preparation (or an operation of a front end around one) ended.
enum class PreparationEnd {
  Prepared,              // the image is ready to be sent
  RunStarted,            // the image is prepared and its run started: the job carries it on
  RunInProgress,         // refused: a run is in progress; nothing was done
  NothingToDo,           // a module download without a module or an address; nothing was done
  Recorded,              // a module choice was recorded
  ChoiceCancelled,       // a module choice was cancelled; nothing changed
  UnknownCommand,        // not one of the menu's commands; nothing was done
  HostEmpty,             // message 102
  PortZero,              // message 104
  FileChoiceCancelled,   // the file chooser was cancelled
  BaseAddressCancelled,  // the Base Address dialog was cancelled
  ConversionFailed,      // the S-record file did not convert
  FileError,             // a file could not be opened, read or written (box with the reason)
  NoTagBeforeCompress,   // the converted image lacks "REV-"; nothing is compressed
  CoderRefused,          // the coder could not get its memory
  AddressMismatch,       // the module's lowest address is not the User Base Address
  EmptyImage,            // the image has no bytes: nothing to send
  ImageTooLarge,         // the image does not fit the 32-bit size request
  MissingTag,            // the image lacks "REV-"
  RunRefused,            // the job would not start (a run is in progress)
};

struct PreparationResult {
  PreparationResult() = default;
  PreparationResult(PreparationEnd how, bool quiet, std::string why)
      : end(how), silent(quiet), reason(std::move(why)) {}

  PreparationEnd end = PreparationEnd::NothingToDo;
  // True when the operator is shown no box about this end (the silent ends).
  bool silent = true;
  // One line saying why the operation ended, for the command line.
  std::string reason;
  // The same as a failure (origin None when prepared, started or recorded):
  // its message is the box's text.
  Failure failure;
  // The cause shown under the box's text ("" for a box without one).
  std::string boxDetail;

  // Prepared: the image to send. Otherwise empty, but for its path once the
  // file to send was held with a length a run can carry (the log names the
  // file being downloaded from there on).
  PreparedImage image;
  // A user module preparation: what the window's module name field holds
  // afterwards (the converted image, or "" after a record that did not
  // parse; the chosen file otherwise).
  std::string modulePath;

  bool prepared() const { return end == PreparationEnd::Prepared; }
  bool started() const { return end == PreparationEnd::RunStarted; }
};

// What the operator gave for a firmware download.
struct FirmwareRequest {
  std::string file;               // the chosen file
  std::uint32_t baseAddress = 0;  // where an S-record file's image starts (see NeedsBaseAddress)
  bool compress = false;          // "Compress" ticked
  bool korvane = false;           // the Korvane mode: a converted image goes uncompressed
  std::string workFolder;         // where "Inter.img" goes; empty: the working directory, bare name
  // How the image is held from its header read to its last run: the window
  // alone, or (the command line) with other readers.
  ImageAccess access = ImageAccess::Exclusive;
};

// What the operator gave for a user module download.
struct UserModuleRequest {
  std::string file;           // the module: S-records (first byte 'S') or an image
  std::uint32_t address = 0;  // the User Base Address
  std::string workFolder;     // where "inter.img" goes; empty: the working directory, bare name
  ImageAccess access = ImageAccess::Exclusive;  // as for a firmware image
};

// An S-record file (extension "mot", any case): converted from the base
// address, which the operator is asked for first.
bool NeedsBaseAddress(const std::string& file);

// The path of a work file |name| in |folder| (empty: the bare name).
std::string WorkFilePath(const std::string& folder, const char* name);

// The firmware image: an S-record file converted beside itself (lower case,
// ".img"), with "Compress" coded into "Inter.img" (but in the Korvane mode);
// any other file as it is. |converter| keeps its work area and bounds;
// |diagnostics| (may be null) receives the coder's lines.
PreparationResult PrepareFirmwareImage(const FirmwareRequest& request, FirmwareConverter& converter,
                                       DiagnosticSink* diagnostics);

// The user module image: an S-record module converted into "inter.img" and
// checked to start at the address, any other file as it is; the run writes
// the special sector at the address first.
PreparationResult PrepareUserModuleImage(const UserModuleRequest& request, UserModuleConverter& converter);

// A ready image sent as it is (`mervix-cli send`): checks that the file is
// a readable regular file of 1 to 4294967295 bytes and fingerprints it.
// Returns no failure with |image| filled in, or a File failure saying why.
Failure PrepareImageAsItIs(const std::string& path, PreparedImage* image,
                           ImageAccess access = ImageAccess::Exclusive);

// The ends, as the preparation and the flows around it make them: one the
// operator is not shown, and one shown in a box with |boxText| (and
// |detail| under it when not empty); |reason| says why for the command line
// (the box's text when empty).
PreparationResult SilentEnd(PreparationEnd end, const std::string& reason);
PreparationResult BoxEnd(PreparationEnd end, const std::string& boxText, const std::string& reason,
                         std::uint16_t messageId = 0, const std::string& detail = std::string());

// What both front ends' flows say around a preparation.
// The log's first line of a firmware run: the mode, and "Compress".
const char* ModeLine(bool korvane, bool compress);
// Message 102 for an empty host, 104 for a port outside 1..65535; nothing
// when both pass. Checked before any file is touched.
std::optional<PreparationResult> RefuseDestination(const std::string& host, std::uint32_t port);
// An end that started no run: its box (text, and the cause under it) unless
// it is silent, the run indicator enabled, and a log line "<box text>:
// <cause>" so the log tells why after the box is gone (not for the
// operator's own slips, an empty host or port 0).
void ShowPreparationEnd(const PreparationResult& end, Operator& op, LogPane& log);
// The end of a firmware preparation: once the file to send was held, the
// line naming it; then the version box and line of a prepared image, or
// message 107 and the failure line of an image without its tag, or the end
// as above. Returns whether the image goes on to its run.
bool ShowFirmwarePreparation(const PreparationResult& prepared, Operator& op, LogPane& log);

}  // namespace mervix
