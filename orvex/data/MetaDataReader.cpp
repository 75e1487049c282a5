// Reading the metadata JSON. The text is read as a stream of parse events: only the
// members in use are built as JSON values, each area record on its own and turned
// into its record at once, so that neither time nor memory grows with the size of
// one parsed tree of the whole text.
#include "orvex/data/MetaData.h"

#include "orvex/core/TextUtils.h"
#include "orvex/core/JsonNumber.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <clocale>
#include <cmath>
#include <cstdlib>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvex {

namespace {

using nlohmann::json;
using AoiMetaData = ZelDataSet::Private::MetaData::AoiMetaData;

// Metadata with values nested more levels below the top is not read: copying and
// writing JSON recurse once per level, so a file could otherwise exhaust the stack.
constexpr std::size_t kMaxNestingDepth = 512;

// The parsed form of a JSON value takes far more memory than its text (an empty
// array, "[]," in three bytes, becomes a 16-byte value and a 24-byte allocation).
// Metadata whose values built at one time (calibration, transformations and the
// area record being read) would take more than this many bytes per byte of text,
// beyond a floor that any plain metadata stays under, is not read.
constexpr std::size_t kMaxParsedBytesPerTextByte = 6;
constexpr std::size_t kParsedBytesFloor = std::size_t{64} << 20;
// Estimated bytes of the parsed form: each value (with the slack of a growing
// array), the allocation of each array or object, and the map node and key of each
// object member besides its value (measured: about 100 bytes a member in all).
constexpr std::size_t kValueCost = 32;
constexpr std::size_t kContainerCost = 64;
constexpr std::size_t kMemberCost = 64;

// Whether the number text[first, last) overflows a double: the parser refuses it,
// and with it the whole text.
bool overflowsDouble(const std::string& text, std::size_t first, std::size_t last) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
    const std::string number = text.substr(first, last - first);
    return std::isinf(strtod_l(number.c_str(), nullptr, cLocale));
}

bool isTokenCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'; }

// Checks, in one pass over the text outside its strings, the nesting that the
// parser cannot be left to find (deeper than kMaxNestingDepth: false, the text is
// not to be parsed). Numbers that overflow a double become null (blank-padded), so
// that they are skipped like any value of the wrong kind instead of failing the
// parse. Stops at a NUL, where the parser stops.
bool prepareForParse(std::string& text) {
    std::size_t depth = 0; // containers open
    for (std::size_t i = 0; i < text.size() && text[i] != '\0'; ++i) {
        const char c = text[i];
        if (c == ']' || c == '}') {
            depth -= depth > 0 ? 1 : 0;
            continue;
        }
        if (c == ',' || c == ':' || std::isspace(static_cast<unsigned char>(c)))
            continue;
        // A value or an object key starts here.
        if (depth > kMaxNestingDepth)
            return false;
        if (c == '[' || c == '{') {
            ++depth;
        } else if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i)
                i += text[i] == '\\' ? 1 : 0;
        } else {
            const std::size_t first = i;
            while (i + 1 < text.size() && isTokenCharacter(text[i + 1]))
                ++i;
            const std::size_t length = i + 1 - first;
            const auto token = text.begin() + static_cast<std::ptrdiff_t>(first);
            const bool mayOverflow =
                length > 300 || std::any_of(token, token + static_cast<std::ptrdiff_t>(length),
                                            [](char t) { return t == 'e' || t == 'E'; });
            if ((c == '-' || std::isdigit(static_cast<unsigned char>(c))) && mayOverflow &&
                overflowsDouble(text, first, i + 1))
                text.replace(first, length, "null" + std::string(length - 4, ' '));
        }
    }
    return true;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Decodes up to the first character outside the alphabet (padding included);
// the bits of an incomplete last byte are dropped.
std::vector<std::uint8_t> fromBase64(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3 + 2);
    std::uint32_t bits = 0;
    int bitCount = 0;
    for (char c : text) {
        const int value = base64Value(c);
        if (value < 0)
            break;
        bits = (bits << 6 | static_cast<std::uint32_t>(value)) & 0xfff;
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            bytes.push_back(static_cast<std::uint8_t>(bits >> bitCount));
        }
    }
    return bytes;
}

// The fields of one area member of "aois" that have the right kind.
AoiMetaData readAoi(const json& object) {
    AoiMetaData aoi;
    if (const auto step = object.find("step_size"); step != object.end())
        aoi.stepSize = jsonIntegerToInt(*step);
    if (const auto subset = object.find("subset_size"); subset != object.end())
        aoi.subsetSize = jsonIntegerToInt(*subset);
    const auto vars = object.find("vars");
    if (vars != object.end() && vars->is_object()) {
        for (const auto& [name, value] : vars->items()) {
            AdditionalVarInfo info = AdditionalVarInfo::fromJson(value);
            if (!info.isEmpty())
                aoi.vars[name] = info;
        }
    }
    return aoi;
}

bool hasContent(const AoiMetaData& aoi) { return aoi.stepSize || aoi.subsetSize || !aoi.vars.empty(); }

// Stores what `update` holds into `target`, keeping the rest of `target`.
void merge(AoiMetaData& target, const AoiMetaData& update) {
    if (update.stepSize)
        target.stepSize = update.stepSize;
    if (update.subsetSize)
        target.subsetSize = update.subsetSize;
    for (const auto& [name, info] : update.vars)
        target.vars[name] = info;
}


// The members of the top object that the reader uses, gathered from the parse
// events. Repeated names keep their last value, as one parsed object would.
class MemberReader : public nlohmann::json_sax<json> {
public:
    explicit MemberReader(std::size_t textSize)
        : budget_(std::max(kParsedBytesFloor, kMaxParsedBytesPerTextByte * textSize)) {}

    std::optional<std::string> userData;
    std::map<std::string, AoiMetaData> aois; // by member name; empty records for values that are no object
    std::optional<json> calibration;
    std::optional<json> transformations;

    bool null() override { return value([](Builder& b) { return b.null(); }); }
    bool boolean(bool v) override { return value([v](Builder& b) { return b.boolean(v); }); }
    bool number_integer(number_integer_t v) override {
        return value([v](Builder& b) { return b.number_integer(v); });
    }
    bool number_unsigned(number_unsigned_t v) override {
        return value([v](Builder& b) { return b.number_unsigned(v); });
    }
    bool number_float(number_float_t v, const string_t& s) override {
        return value([v, &s](Builder& b) { return b.number_float(v, s); });
    }
    bool string(string_t& v) override {
        if (!builder_ && depth_ == 1 && member_ == Member::UserData)
            userData = std::move(v);
        return value([&v](Builder& b) { return b.string(v); });
    }
    bool binary(binary_t& v) override { return value([&v](Builder& b) { return b.binary(v); }); }
    bool key(string_t& name) override {
        if (builder_)
            return charge(kMemberCost) && builder_->key(name);
        if (depth_ == 1)
            startMember(name);
        else if (depth_ == 2 && member_ == Member::Aois)
            areaName_ = name;
        return true;
    }
    bool start_object(std::size_t size) override {
        if (!open(true))
            return false;
        return builder_ ? builder_->start_object(size) : true;
    }
    bool start_array(std::size_t size) override {
        if (!open(false))
            return false;
        return builder_ ? builder_->start_array(size) : true;
    }
    bool end_object() override { return close([](Builder& b) { return b.end_object(); }); }
    bool end_array() override { return close([](Builder& b) { return b.end_array(); }); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    using Builder = nlohmann::detail::json_sax_dom_parser<json>;
    enum class Member { Other, UserData, Aois, Calibration, Transformations };

    void startMember(const std::string& name) {
        member_ = name == "user_data"         ? Member::UserData
                  : name == "aois"            ? Member::Aois
                  : name == "calibration"     ? Member::Calibration
                  : name == "transformations" ? Member::Transformations
                                              : Member::Other;
        if (member_ == Member::UserData)
            userData.reset();
        if (member_ == Member::Aois)
            aois.clear();
        if (member_ == Member::Calibration)
            calibration.reset();
        if (member_ == Member::Transformations)
            transformations.reset();
    }

    // Whether the value starting now is built: a calibration or transformation
    // member, or one area record.
    bool builds() const {
        return (depth_ == 1 && (member_ == Member::Calibration || member_ == Member::Transformations)) ||
               (depth_ == 2 && member_ == Member::Aois && aoisIsObject_);
    }

    void startBuilding() {
        built_ = json();
        builder_ = std::make_unique<Builder>(built_, false);
        buildDepth_ = depth_;
        bytesBeforeBuild_ = builtBytes_;
    }

    // Counts `bytes` more of built values; false once they pass the budget.
    bool charge(std::size_t bytes) {
        builtBytes_ += bytes;
        return builtBytes_ <= budget_;
    }

    // Hands a built value to its member.
    void finishBuilding() {
        builder_.reset();
        if (member_ == Member::Calibration)
            calibration = std::move(built_);
        else if (member_ == Member::Transformations)
            transformations = std::move(built_);
        else {
            aois.insert_or_assign(std::move(areaName_), built_.is_object() ? readAoi(built_) : AoiMetaData());
            builtBytes_ = bytesBeforeBuild_; // the record's values are released
        }
        built_ = json();
    }

    // A scalar value.
    template <class Event>
    bool value(Event event) {
        if (!builder_ && builds()) {
            startBuilding();
            const bool ok = charge(kValueCost) && event(*builder_);
            finishBuilding();
            return ok;
        }
        return builder_ ? charge(kValueCost) && event(*builder_) : checkTop(false);
    }

    // The top value must be an object; anything else leaves the metadata unread.
    bool checkTop(bool isObject) const { return depth_ > 0 || isObject; }

    bool open(bool isObject) {
        if (!checkTop(isObject))
            return false;
        if (depth_ == 1 && member_ == Member::Aois)
            aoisIsObject_ = isObject;
        if (!builder_ && builds())
            startBuilding();
        ++depth_;
        return !builder_ || charge(kValueCost + kContainerCost);
    }

    template <class Event>
    bool close(Event event) {
        --depth_;
        if (!builder_)
            return true;
        const bool ok = event(*builder_);
        if (depth_ == buildDepth_)
            finishBuilding();
        return ok;
    }

    std::size_t depth_ = 0; // containers open (their nesting was checked before the parse)
    Member member_ = Member::Other;
    bool aoisIsObject_ = false;
    std::string areaName_;
    json built_;
    std::unique_ptr<Builder> builder_;
    std::size_t buildDepth_ = 0;
    const std::size_t budget_;
    std::size_t builtBytes_ = 0; // estimated, of the values built and kept
    std::size_t bytesBeforeBuild_ = 0;
};

} // namespace

void ZelDataSet::Private::MetaData::deserialize(std::string text) {
    MemberReader members(text.size());
    if (!prepareForParse(text) ||
        !json::sax_parse(text, &members, json::input_format_t::json, /*strict=*/true, /*ignore_comments=*/false))
        return;

    if (members.userData)
        userData = fromBase64(*members.userData);
    aois.reserve(aois.size() + members.aois.size());
    for (auto& [name, update] : members.aois) {
        const std::optional<int> index = stoi_maybe(name);
        if (!index || !hasContent(update))
            continue;
        if (const auto [record, added] = aois.try_emplace(*index, std::move(update)); !added)
            merge(record->second, update);
    }
    if (members.calibration)
        calibration = Calibration3D::fromJson(*members.calibration);
    if (members.transformations && members.transformations->is_array()) {
        for (const json& element : *members.transformations) {
            if (auto transform = RigidTransform::fromJson(element))
                transformations.push_back(std::move(*transform));
        }
    }
}

} // namespace orvex
