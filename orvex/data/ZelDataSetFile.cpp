// The data-set file image: magic, version, tagged header (area count, reference
// and deformed image names), one block per area, and the JSON metadata trailer.
// Tags, counts and lengths are big-endian 32-bit values; positions are 32-bit
// ints, so an image stays below 2 GiB.

#include "orvex/core/Logging.h"
#include "orvex/core/TextUtils.h"
#include "orvex/data/ByteSink.h"
#include "orvex/data/ByteSource.h"
#include "orvex/data/FileReplace.h"
#include "orvex/data/MemStream.h"
#include "orvex/data/MetaData.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace orvex {

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kAreaCountTag = 0xA0000002;
constexpr std::uint32_t kReferenceNameTag = 0xA0000003;
constexpr std::uint32_t kDeformedNameTag = 0xA0000004;
constexpr std::uint32_t kMetaDataTag = 0xA0000005;
constexpr std::uint32_t kAreaStartTag = 0xA0000101;
constexpr std::uint32_t kEmptyLength = 0xFFFFFFFF;

constexpr char kStandardMagic[4] = {'\xA2', 'Q', 'R', 'Z'};
constexpr char kAlternativeMagic[4] = {'\xC3', '\x27', '\x5B', '\x51'};
constexpr char kVersion[4] = {'1', '.', '0', '0'};

constexpr std::uint64_t kMaxImageSize = INT_MAX;
// The metadata tag and text length that precede the text.
constexpr std::size_t kTrailerHeadSize = 8;

bool magicAccepted(const char* bytes, bool alternativeMagic) {
    return std::memcmp(bytes, kAlternativeMagic, 4) == 0 ||
           (!alternativeMagic && std::memcmp(bytes, kStandardMagic, 4) == 0);
}

struct Header {
    int areaCount = 0;
    std::string referenceName;
    std::string deformedName;
    bool atMetaData = false; // a set without areas: the metadata tag was read
};

// Reads the tagged header that follows magic and version. It ends at the first
// area-start tag, or, for a set without areas, at the metadata tag.
bool readHeader(ByteSource& source, Header& header) {
    for (;;) {
        std::uint32_t tag = 0;
        if (!source.pop_u32(tag))
            return false;
        switch (tag) {
        case kAreaCountTag: {
            std::uint32_t count = 0;
            if (!source.pop_u32(count))
                return false;
            header.areaCount = static_cast<int>(count);
            break;
        }
        case kReferenceNameTag:
            if (!source.pop_string(header.referenceName))
                return false;
            break;
        case kDeformedNameTag:
            if (!source.pop_string(header.deformedName))
                return false;
            break;
        case kAreaStartTag:
            return true;
        case kMetaDataTag:
            if (header.areaCount == 0) {
                header.atMetaData = true;
                return true;
            }
            [[fallthrough]];
        default:
            PLOGE << "Not on data tag after reading header. Likely wrong data file version.";
            return false;
        }
    }
}

// Reads magic, version and header: everything before the first area.
bool readFront(ByteSource& source, bool alternativeMagic, Header& header) {
    char magic[4];
    if (!source.read(magic, 4))
        return false;
    if (!magicAccepted(magic, alternativeMagic)) {
        std::uint32_t number = 0;
        MemStream(magic, 4).pop_u32(number);
        PLOGE << "Unknown file type. " << number;
        return false;
    }
    char version[4];
    if (!source.read(version, 4))
        return false;
    if (std::memcmp(version, kVersion, 4) != 0) {
        PLOGE << "Version mismatch, proceeding anyway...";
    }
    return readHeader(source, header);
}

// The metadata text of the trailer, cut at the end of the image; empty when there
// is no metadata tag (unless `tagRead`) or no text. Nothing when the text is
// there but cannot be read (a file that shrank while it was read).
std::optional<std::string> readMetaDataText(ByteSource& source, bool tagRead) {
    std::uint32_t tag = kMetaDataTag;
    std::uint32_t textLength = kEmptyLength;
    if ((!tagRead && !source.pop_u32(tag)) || tag != kMetaDataTag || !source.pop_u32(textLength) ||
        textLength == kEmptyLength)
        return std::string();
    std::string text(static_cast<std::size_t>(std::min<std::uint64_t>(textLength, source.remaining())), '\0');
    if (!source.read(text.data(), text.size()))
        return std::nullopt;
    return text;
}

// The sizes of the pieces of a file image, computed before anything is written.
struct ImageLayout {
    std::string metaDataText;
    std::size_t headerSize = 0; // magic up to the deformed image name
    std::vector<std::size_t> blockSizes; // one per area
    std::size_t trailerSize = 0; // metadata tag, length and text
    std::uint64_t totalSize = 0;
};

ImageLayout layoutOf(const ZelDataSet::Private& d) {
    ImageLayout layout;
    layout.metaDataText = d.metaData.serialise();
    layout.headerSize =
        16 + 4 + MemStream::stringSize(d.referenceImageName) + 4 + MemStream::stringSize(d.deformedImageName);
    layout.trailerSize = kTrailerHeadSize + layout.metaDataText.size();
    layout.totalSize = layout.headerSize + layout.trailerSize;
    for (const ZelData* area : d.areas) {
        layout.blockSizes.push_back(area->diskSize());
        layout.totalSize += layout.blockSizes.back();
    }
    return layout;
}

bool fitsInImage(const ImageLayout& layout) {
    if (layout.totalSize <= kMaxImageSize)
        return true;
    PLOGE << "Data set of " << layout.totalSize << " bytes is too large to encode.";
    return false;
}

// Writes the image front to back; each area block must take exactly its computed size.
bool writeImage(const ZelDataSet::Private& d, const ImageLayout& layout, bool alternativeMagic, ByteSink& sink) {
    std::vector<char> scratch;
    const bool headerWritten = sink.writePiece(scratch, layout.headerSize, [&](MemStream& header) {
        return header.push_bytes(alternativeMagic ? kAlternativeMagic : kStandardMagic, 4) &&
               header.push_bytes(kVersion, 4) && header.push_u32(kAreaCountTag) &&
               header.push_u32(static_cast<std::uint32_t>(d.areas.size())) && header.push_u32(kReferenceNameTag) &&
               header.push_string(d.referenceImageName) && header.push_u32(kDeformedNameTag) &&
               header.push_string(d.deformedImageName);
    });
    if (!headerWritten)
        return false;

    for (std::size_t i = 0; i < d.areas.size(); ++i) {
        const std::uint64_t blockStart = sink.written();
        if (!d.areas[i]->encode(sink) || sink.written() - blockStart != layout.blockSizes[i])
            return false;
    }

    const std::string& text = layout.metaDataText;
    const auto trailerHead = [&text](MemStream& out) {
        return out.push_u32(kMetaDataTag) &&
               out.push_u32(text.empty() ? kEmptyLength : static_cast<std::uint32_t>(text.size()));
    };
    return sink.writePiece(scratch, kTrailerHeadSize, trailerHead) && sink.write(text.data(), text.size());
}

// Appends to a file stream; large pieces pass its buffer by.
class StreamSink : public ByteSink {
public:
    explicit StreamSink(std::ostream& stream) : stream_(stream) {}

private:
    bool put(const void* bytes, std::size_t count) override {
        return static_cast<bool>(stream_.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(count)));
    }

    std::ostream& stream_;
};

// Closes the descriptor it holds (if any) when it goes.
struct FileDescriptor {
    explicit FileDescriptor(int descriptor) : descriptor(descriptor) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (descriptor >= 0)
            ::close(descriptor);
    }
    const int descriptor;
};

// Reads a file of known size from its start. Small pieces are served from a
// buffer; pieces at least as large as the buffer go straight to their destination.
class FileSource : public ByteSource {
public:
    FileSource(int descriptor, std::uint64_t size) : ByteSource(size), descriptor_(descriptor), buffer_(kBufferSize) {}

private:
    static constexpr std::size_t kBufferSize = 64 * 1024;

    bool get(void* bytes, std::size_t count) override {
        char* out = static_cast<char*>(bytes);
        const std::size_t buffered = std::min(count, end_ - begin_);
        std::memcpy(out, buffer_.data() + begin_, buffered);
        begin_ += buffered;
        out += buffered;
        count -= buffered;
        if (count == 0)
            return true;
        if (count >= kBufferSize)
            return readFully(out, count);
        // The file holds remaining() bytes beyond what was handed out before this call.
        const std::uint64_t unread = remaining() - buffered;
        const std::size_t refill = static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, unread));
        if (!readFully(buffer_.data(), refill))
            return false;
        std::memcpy(out, buffer_.data(), count);
        begin_ = count;
        end_ = refill;
        return true;
    }

    // Exactly `count` bytes from the file; false on an error or an early end.
    bool readFully(char* out, std::size_t count) {
        while (count > 0) {
            const ssize_t got = ::read(descriptor_, out, count);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            out += got;
            count -= static_cast<std::size_t>(got);
        }
        return true;
    }

    int descriptor_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0; // buffer_[begin_, end_) is read but not yet handed out
    std::size_t end_ = 0;
};

} // namespace

char* ZelDataSet::encode(std::size_t& size, bool alternativeMagic) const {
    const ImageLayout layout = layoutOf(*d);
    size = static_cast<std::size_t>(layout.totalSize);
    if (!fitsInImage(layout))
        return nullptr;
    std::unique_ptr<char[]> image(new char[size]);
    BufferSink sink(image.get(), static_cast<int>(size));
    return writeImage(*d, layout, alternativeMagic, sink) ? image.release() : nullptr;
}

bool ZelDataSet::save(const std::string& fileName, const InterruptionCheck& interrupted) {
    const ImageLayout layout = layoutOf(*d);
    if (!fitsInImage(layout))
        return false;
    return writeFileReplacing(
        fileName,
        [&](std::ostream& file) {
            StreamSink sink(file);
            return writeImage(*d, layout, false, sink);
        },
        interrupted);
}

bool ZelDataSet::decode(const char* buffer, int length, bool alternativeMagic) {
    if (!buffer)
        return false;
    BufferSource source(buffer, length);
    return decode(source, alternativeMagic);
}

bool ZelDataSet::decode(ByteSource& source, bool alternativeMagic) {
    Header header;
    if (!readFront(source, alternativeMagic, header))
        return false;

    clear();
    for (int i = 0; i < header.areaCount; ++i) {
        auto area = std::make_unique<ZelData>();
        if (!area->decode(source)) {
            PLOGE << "Could not read aoi.";
            return false;
        }
        d->areas.push_back(area.release());
        if (source.position() > source.size()) {
            PLOGE << "Past buffer end, seriously confused.";
            return false;
        }
    }
    d->referenceImageName = std::move(header.referenceName);
    d->deformedImageName = std::move(header.deformedName);

    if (header.atMetaData || source.remaining() >= 4) {
        std::optional<std::string> text = readMetaDataText(source, header.atMetaData);
        if (!text)
            return false;
        d->metaData.deserialize(std::move(*text));
    }
    return true;
}

bool ZelDataSet::decode(const std::string& image, bool alternativeMagic) {
    if (image.size() > kMaxImageSize)
        return false;
    return decode(image.data(), static_cast<int>(image.size()), alternativeMagic);
}

bool ZelDataSet::headPlausible(const char* head, int length, std::uint64_t imageSize, bool alternativeMagic) {
    if (imageSize > kMaxImageSize || static_cast<std::uint64_t>(std::max(length, 0)) > imageSize)
        return false;
    BufferSource source(head, length);
    Header header;
    // Cut short by the end of the head, not by the end of the image.
    return readFront(source, alternativeMagic, header) ||
           (source.unmetEnd() != 0 && source.unmetEnd() <= imageSize);
}

bool ZelDataSet::load(const std::string& fileName) {
    if (hasEmbeddedNul(fileName))
        return false;
    // Without blocking on a FIFO; anything but a regular file is refused below.
    const FileDescriptor file(::open(fs::u8path(fileName).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (file.descriptor < 0 || ::fstat(file.descriptor, &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    if (static_cast<std::uint64_t>(status.st_size) > kMaxImageSize) {
        PLOGE << "File " << fileName << " is too large to load.";
        return false;
    }
    FileSource source(file.descriptor, static_cast<std::uint64_t>(status.st_size));
    return decode(source, false);
}

} // namespace orvex
