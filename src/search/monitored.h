#pragma once
// The monitored item ids kept in cfg_jsid.txt.
#include <string>
#include <vector>

namespace kelvora {

// Removes the blank and the ASCII punctuation marks that an id never holds
// (every printable non-alphanumeric ASCII character except "{|}~").
std::string StripMonitorText(const std::string& text);

// Reads the id file at `path` (GBK, one id a line; a missing file is an empty list),
// puts the ids into effect as MonitoredItemIds and returns them. A file that cannot
// be read (a folder, a device, over 16 MiB) counts as missing; `statusText` then
// gets a status-line text (GBK) saying so, and stays empty otherwise.
std::vector<std::string> LoadMonitoredItems(const std::string& path,
                                            std::string* statusText = nullptr);

// The id file's text as stored (GBK, up to a zero byte), read through the safe
// file reader; LoadMonitoredItems and the editor both read it this way. Empty when
// the file is missing or cannot be read, and then `statusText` is set as for
// LoadMonitoredItems.
std::string ReadMonitoredFile(const std::string& path, std::string* statusText = nullptr);

// Writes StripMonitorText(editText) to `path` through a temporary file renamed
// over it, so a failure or a crash leaves the old list whole. False on failure.
// The in-memory list is not changed: the new ids count from the next start.
bool SaveMonitoredItems(const std::string& path, const std::string& editText);

}  // namespace kelvora
