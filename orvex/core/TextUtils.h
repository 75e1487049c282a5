#pragma once
// Text and data-set file-name utilities. Text is handled as bytes; paths follow
// POSIX rules ("/" is the only separator).
//
// A data-set name is either a file path or an HDF5 entry name:
// "<file ending in .h5>:<group>:<key>", e.g. "/d/run.h5:out:7".

#include <optional>
#include <string>
#include <vector>

namespace orvex {

// `text` without leading and trailing ASCII white space (0x09..0x0D, 0x20).
std::string trimmed(const std::string& text);

// Every occurrence of `from` replaced by `to`, left to right, without searching
// the inserted text again; an empty `from` leaves `text` unchanged.
std::string replace(std::string text, const std::string& from, const std::string& to);

// Number parsers after std::stoi, std::stod and std::stol (base 10, leading
// white space skipped, trailing characters ignored). A failed conversion logs
// the exception's message as a warning and gives nothing; they never throw.
std::optional<int> stoi_maybe(const std::string& text);
std::optional<double> stod_maybe(const std::string& text);
std::optional<long> stol_maybe(const std::string& text);

// The segments between occurrences of `separator`, empty ones included; always
// one more segment than occurrences. An empty separator gives `text` as the one segment.
std::vector<std::string> split(const std::string& text, const std::string& separator);

// Whether `name` holds a NUL byte: the file system would read only the part
// before it, so such a name addresses another file and is refused.
bool hasEmbeddedNul(const std::string& name);

// Splits an HDF5 entry name at its last two colons. True when the file part
// ends in ".h5", with the three parts written out; otherwise false and the
// outputs are left unchanged. The file part may itself hold colons.
bool splitH5FileName(const std::string& name, std::string& file, std::string& group, std::string& key);

// The last path element of `name` (empty when it ends with "/"); for an HDF5
// entry, the HDF5 file's last element followed by ":<group>:<key>".
std::string fileName(const std::string& name);

// `name` with its extension replaced by `extension` (a leading "." optional).
// An HDF5 entry "<dir>/<stem>.h5:<group>:<key>" names the data-set file
// "<dir>/<stem>-<key>_0" beside it, a trailing "_out" of the stem dropped.
// An empty name or extension logs a warning and gives nothing.
std::optional<std::string> changeFileExtension(const std::string& name, const std::string& extension);

} // namespace orvex
