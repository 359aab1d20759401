#include "playback/recorded_file.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ipcam {

namespace {

uint32_t readU32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

// The marks that only a recording of this program carries, checked in this
// order.
struct Mark {
    int offset;
    const char* bytes;
};
constexpr Mark kMarks[] = {
    {0, "RIFF"}, {8, "AVI "}, {212, "strd"}, {220, "Korv"}, {508, "movi"},
};

// Reads exactly size bytes at offset; false on a short read.
bool readAt(QIODevice& device, uint64_t offset, char* target, qint64 size) {
    if (!device.seek(static_cast<qint64>(offset)))
        return false;
    qint64 done = 0;
    while (done < size) {
        const qint64 n = device.read(target + done, size - done);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

}  // namespace

int playbackLayoutFor(uint32_t width, uint32_t height) {
    if (width == 640 && height == 480)
        return 0;
    if (width == 160 && height == 120)
        return 2;
    return 1;
}

uint64_t frameSeconds(uint64_t n, uint32_t frameDuration) {
    // n stays far below 2^32 in practice; split the product so that even
    // large n cannot overflow 64 bits.
    const uint64_t d = frameDuration;
    const uint64_t whole = (n / 1000000) * d;
    const uint64_t rest = (n % 1000000) * d / 1000000;
    return whole + rest;
}

std::string formatClock(uint64_t seconds) {
    char text[48];
    std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>((seconds / 60) % 60),
                  static_cast<unsigned long long>(seconds % 60));
    return text;
}

int frameInterval(uint32_t frameDuration) {
    return static_cast<int>(frameDuration / 1000);
}

RecordedFile::OpenStatus RecordedFile::openRecordedFile(const QString& path) {
    close();
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile())
        return OpenStatus::Unreadable;
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly))
        return OpenStatus::Unreadable;
    return openDevice(std::move(file));
}

RecordedFile::OpenStatus RecordedFile::fail(OpenStatus status) {
    close();
    return status;
}

RecordedFile::OpenStatus RecordedFile::openDevice(std::unique_ptr<QIODevice> device) {
    close();
    if (!device)
        return OpenStatus::Unreadable;
    if (!device->isOpen() && !device->open(QIODevice::ReadOnly))
        return OpenStatus::Unreadable;
    if (device->isSequential() || !device->isReadable())
        return OpenStatus::Unreadable;
    device_ = std::move(device);

    const qint64 size = device_->size();
    if (size < recorded::kHeaderSize)
        return fail(OpenStatus::TooShort);
    fileSize_ = static_cast<uint64_t>(size);

    char header[recorded::kHeaderSize];
    if (!readAt(*device_, 0, header, recorded::kHeaderSize))
        return fail(OpenStatus::Unreadable);
    for (const Mark& m : kMarks) {
        if (std::memcmp(header + m.offset, m.bytes, 4) != 0)
            return fail(OpenStatus::Foreign);
    }

    frameDuration_ = readU32(header + recorded::kFrameDurationOffset);
    frameTotal_ = readU32(header + recorded::kFrameTotalOffset);
    width_ = readU32(header + recorded::kWidthOffset);
    height_ = readU32(header + recorded::kHeightOffset);
    indexStart_ = uint64_t{readU32(header + recorded::kMoviListSizeOffset)} + recorded::kIndexBase;

    // Only the entries that are really in the file, and never more than the
    // header announces.
    uint64_t present = 0;
    if (indexStart_ < fileSize_)
        present = (fileSize_ - indexStart_) / recorded::kIndexEntrySize;
    const uint64_t wanted = std::min<uint64_t>({present, frameTotal_, uint64_t{INT32_MAX}});

    if (wanted > 0) {
        QByteArray raw;
        raw.resize(static_cast<qsizetype>(wanted * recorded::kIndexEntrySize));
        if (!readAt(*device_, indexStart_, raw.data(), raw.size()))
            return fail(OpenStatus::Unreadable);
        index_.resize(wanted);
        for (uint64_t i = 0; i < wanted; ++i) {
            const char* e = raw.constData() + i * recorded::kIndexEntrySize;
            const uint64_t offset = uint64_t{readU32(e + 8)} + recorded::kChunkDataBase;
            const uint32_t length = readU32(e + 12);
            // An entry that reaches past the end of the file serves nothing.
            if (length == 0 || offset > fileSize_ || length > fileSize_ - offset)
                index_[i] = Entry{};
            else
                index_[i] = Entry{offset, length};
        }
        // Entries past the last usable picture are dropped, so that the
        // pictures on offer end with one that is really there.
        while (!index_.empty() && index_.back().length == 0)
            index_.pop_back();
    }
    if (index_.empty())
        return fail(OpenStatus::NoPictures);
    return OpenStatus::Opened;
}

void RecordedFile::close() {
    device_.reset();
    fileSize_ = 0;
    frameTotal_ = 0;
    frameDuration_ = 0;
    indexStart_ = 0;
    width_ = 0;
    height_ = 0;
    index_.clear();
    index_.shrink_to_fit();
    pictureBytes_ = QByteArray();
}

bool RecordedFile::decodePicture(int n, QImage& image, QSize) {
    return readPicture(n, pictureBytes_) &&
           decoder_.decode(reinterpret_cast<const uint8_t*>(pictureBytes_.constData()),
                           static_cast<size_t>(pictureBytes_.size()), image);
}

bool RecordedFile::readPicture(int n, QByteArray& out) {
    out.resize(0);  // keeps the capacity for the next picture
    if (!device_ || n < 0 || n >= frameCount())
        return false;
    const Entry& e = index_[static_cast<size_t>(n)];
    if (e.length == 0)
        return false;
    out.resize(static_cast<qsizetype>(e.length));
    if (!readAt(*device_, e.offset, out.data(), out.size())) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace ipcam
