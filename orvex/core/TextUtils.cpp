#include "orvex/core/TextUtils.h"

#include <exception>
#include <filesystem>

#include "orvex/core/Logging.h"

namespace orvex {

namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Logs a warning under the name of the public function that failed.
void warnAs(const char* function, const char* message) {
    plog::Logger<0>* logger = plog::get<0>();
    if (logger && logger->checkSeverity(plog::warning))
        *logger += plog::Record(plog::warning, function, __LINE__) << message;
}

// Runs `convert` on `text`; a thrown exception gives nothing and a warning with
// its message, logged as coming from `caller`.
template <typename Convert>
auto convertOrWarn(Convert convert, const std::string& text, const char* caller)
    -> std::optional<decltype(convert(text))> {
    try {
        return convert(text);
    } catch (const std::exception& exception) {
        warnAs(caller, exception.what());
        return std::nullopt;
    }
}

// The data-set file beside an HDF5 file for one of its entries: "<dir>/<stem>-<key>_0".
std::filesystem::path entryDataSetPath(const std::string& h5File, const std::string& key) {
    const std::filesystem::path h5Path(h5File);
    std::string stem = h5Path.stem().string();
    if (endsWith(stem, "_out"))
        stem.resize(stem.size() - 4);
    return h5Path.parent_path() / (stem + "-" + key + "_0");
}

} // namespace

std::string trimmed(const std::string& text) {
    static const char* const whiteSpace = "\t\n\v\f\r ";
    const std::size_t first = text.find_first_not_of(whiteSpace);
    if (first == std::string::npos)
        return {};
    const std::size_t last = text.find_last_not_of(whiteSpace);
    return text.substr(first, last - first + 1);
}

std::string replace(std::string text, const std::string& from, const std::string& to) {
    if (from.empty())
        return text;
    for (std::size_t position = text.find(from); position != std::string::npos;
         position = text.find(from, position + to.size()))
        text.replace(position, from.size(), to);
    return text;
}

std::optional<int> stoi_maybe(const std::string& text) {
    return convertOrWarn([](const std::string& s) { return std::stoi(s); }, text, __PRETTY_FUNCTION__);
}

std::optional<double> stod_maybe(const std::string& text) {
    return convertOrWarn([](const std::string& s) { return std::stod(s); }, text, __PRETTY_FUNCTION__);
}

std::optional<long> stol_maybe(const std::string& text) {
    return convertOrWarn([](const std::string& s) { return std::stol(s); }, text, __PRETTY_FUNCTION__);
}

std::vector<std::string> split(const std::string& text, const std::string& separator) {
    if (separator.empty())
        return {text};
    std::vector<std::string> segments;
    std::size_t start = 0;
    for (std::size_t found = text.find(separator); found != std::string::npos;
         found = text.find(separator, start)) {
        segments.push_back(text.substr(start, found - start));
        start = found + separator.size();
    }
    segments.push_back(text.substr(start));
    return segments;
}

bool hasEmbeddedNul(const std::string& name) { return name.find('\0') != std::string::npos; }

bool splitH5FileName(const std::string& name, std::string& file, std::string& group, std::string& key) {
    const std::size_t keyColon = name.rfind(':');
    if (keyColon == std::string::npos || keyColon == 0)
        return false;
    const std::size_t groupColon = name.rfind(':', keyColon - 1);
    if (groupColon == std::string::npos || !endsWith(name.substr(0, groupColon), ".h5"))
        return false;
    file = name.substr(0, groupColon);
    group = name.substr(groupColon + 1, keyColon - groupColon - 1);
    key = name.substr(keyColon + 1);
    return true;
}

std::string fileName(const std::string& name) {
    std::string file, group, key;
    if (splitH5FileName(name, file, group, key))
        return std::filesystem::path(file).filename().string() + ":" + group + ":" + key;
    return std::filesystem::path(name).filename().string();
}

std::optional<std::string> changeFileExtension(const std::string& name, const std::string& extension) {
    if (name.empty() || extension.empty()) {
        PLOGW << "File and extension should not be empty";
        return std::nullopt;
    }
    std::string file, group, key;
    std::filesystem::path path =
        splitH5FileName(name, file, group, key) ? entryDataSetPath(file, key) : std::filesystem::path(name);
    path.replace_extension(std::filesystem::path(extension));
    return path.string();
}

} // namespace orvex
