#pragma once
// The monitored item ids kept in cfg_jsid.txt.
#include <string>
#include <vector>

namespace kelvora {

// Removes the blank and the ASCII punctuation marks that an id never holds
// (every printable non-alphanumeric ASCII character except "{|}~").
std::string StripMonitorText(const std::string& text);

// The ids of a pasted or stored text (GBK), in order: line breaks, commas (also
// the full-width "，"), blanks and tabs all separate ids; empty pieces are dropped.
std::vector<std::string> MonitoredIdsOfText(const std::string& text);

// Where cfg_jsid.txt lives, for the desktop program and kelvora-cli alike: beside
// the program when its folder can be written, else $XDG_DATA_HOME/kelvora/
// (~/.local/share/kelvora/ when XDG_DATA_HOME is unset).
std::string MonitoredFilePath(const std::string& programDir);

// Reads the id file at `path` (GBK, one id a line; a missing file is an empty list),
// puts the ids into effect as MonitoredItemIds and returns them. A file that cannot
// be read (a folder, a device, over 16 MiB) counts as missing; `statusText` then
// gets a status-line text (GBK) saying so, and stays empty otherwise.
std::vector<std::string> LoadMonitoredItems(const std::string& path, std::string* statusText = nullptr);

// The id file's text as stored (GBK, up to a zero byte), read through the safe
// file reader; LoadMonitoredItems and the editor both read it this way. Empty when
// the file is missing or cannot be read, and then `statusText` is set as for
// LoadMonitoredItems.
std::string ReadMonitoredFile(const std::string& path, std::string* statusText = nullptr);

// Writes the ids of `editText`, one a line (CR LF), to `path` through a temporary
// file renamed over it, so a failure or a crash leaves the old list whole, and puts
// them into effect as MonitoredItemIds, so the next rows are marked. False, with
// nothing changed, on failure or when an existing file is read-only.
bool SaveMonitoredItems(const std::string& path, const std::string& editText);

}  // namespace kelvora
