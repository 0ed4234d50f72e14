// Identifiers of the window's own texts (301 on); their English and Japanese
// texts are in WindowMessages.cpp.
#pragma once

#include <cstdint>

namespace mervix {

enum WindowMessageId : std::uint16_t {
  IDS_WINDOW_STOP = 301,            // the Stop button
  IDS_WINDOW_ASK_STOP = 302,        // Stop pressed or the window closed during a run: Yes/No
  IDS_WINDOW_FILTER_SREC = 303,     // file chooser: S-record files
  IDS_WINDOW_FILTER_IMAGES = 304,   // file chooser: ready images
  IDS_WINDOW_FILTER_ALL = 305,      // file chooser: every file
  IDS_WINDOW_STOPPING = 306,        // status while the block in flight finishes after a stop
  IDS_WINDOW_SEVERAL_DEVICES = 307,  // the popup menu's item and the window's title
  IDS_WINDOW_FLEET_IMAGE = 308,  // the button that prepares the image
  IDS_WINDOW_FLEET_NO_IMAGE = 309,  // no image prepared yet
  IDS_WINDOW_FLEET_IMAGE_LINE = 310,  // %1 the file, %2 its version, %3 its length in bytes
  IDS_WINDOW_FLEET_LIST = 311,  // the button that reads a hosts file or an inventory
  IDS_WINDOW_FLEET_ADD = 312,  // adds the typed device
  IDS_WINDOW_FLEET_CLEAR = 313,  // empties the list
  IDS_WINDOW_FLEET_JOBS = 314,  // devices at once
  IDS_WINDOW_FLEET_RETRIES = 315,  // retries of a device
  IDS_WINDOW_FLEET_TIMEOUT = 316,  // the silence allowed for a reply
  IDS_WINDOW_FLEET_REPEAT = 317,  // the station loop
  IDS_WINDOW_FLEET_AUTOMATIC = 318,  // the station writes every new unit without Start
  IDS_WINDOW_FLEET_GONE = 319,  // the station's gone time
  IDS_WINDOW_FLEET_START = 320,  // the Start button
  IDS_WINDOW_FLEET_CLOSE = 321,  // the Close button
  IDS_WINDOW_FLEET_RECORD = 322,  // the record file's label
  IDS_WINDOW_FLEET_RECORD_WINDOW = 323,  // the setting: the main window's runs go into the record too
  IDS_WINDOW_FLEET_COL_NAME = 324,  // column
  IDS_WINDOW_FLEET_COL_DEVICE = 325,  // column
  IDS_WINDOW_FLEET_COL_PHASE = 326,  // column
  IDS_WINDOW_FLEET_COL_PROGRESS = 327,  // column
  IDS_WINDOW_FLEET_COL_RATE = 328,  // column
  IDS_WINDOW_FLEET_COL_OUTCOME = 329,  // column
  IDS_WINDOW_FLEET_ASK_STOP = 330,  // Stop pressed while devices run: Yes/No
  IDS_WINDOW_STATION_ASK_STOP = 331,  // Stop pressed while the station runs: Yes/No
  IDS_WINDOW_FLEET_NO_DEVICES = 332,  // Start with an empty list
  IDS_WINDOW_FLEET_BAD_LIST = 333,  // a hosts file or inventory that cannot be used (the reason below)
  IDS_WINDOW_FLEET_BAD_DEVICE = 334,  // a typed address that is no device (the reason below)
  IDS_WINDOW_FLEET_TWICE = 335,  // %1 a device already in the list
  IDS_WINDOW_FLEET_RECORD_ERROR = 336,  // the record file cannot be opened (the reason below); nothing starts
  IDS_WINDOW_FLEET_LOG_TITLE = 337,  // %1 the device whose log is shown
  IDS_WINDOW_FLEET_STOPPING = 338,  // status after Stop
  IDS_WINDOW_STATION_STOPPING = 339,  // status after the station's Stop
  IDS_WINDOW_STATION_PRESS_START = 340,  // manual mode: the station waits for Start
  IDS_WINDOW_STATION_COUNTS = 341,  // a tile's counts: %1 passed, %2 failed
  IDS_WINDOW_STATION_MAC = 342,  // a tile's unit: %1 the unit's number, %2 its MAC address
  IDS_WINDOW_FLEET_RECORD_CHOOSE = 343,  // the record file's chooser
  IDS_WINDOW_FLEET_LIST_FILTER = 344,  // the list chooser's filter
  IDS_WINDOW_FLEET_PINNED = 345,  // %1 a device whose inventory row pins another image, %2 that SHA-256
};

constexpr std::uint16_t kFirstWindowMessageId = 301;
constexpr std::uint16_t kLastWindowMessageId = 345;

}  // namespace mervix
