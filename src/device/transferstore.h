#pragma once

#include <QCryptographicHash>

#include <cstdint>
#include <string>
#include <utility>

// The folder where the device keeps what the program sends: each transfer in the next numbered
// file, 0001.bin, 0002.bin, ..., after the highest number there. A file that exists is never
// written to.
class TransferStore
{
public:
    explicit TransferStore(std::string folder) : m_folder(std::move(folder)) {}
    ~TransferStore();
    TransferStore(const TransferStore&) = delete;
    TransferStore& operator=(const TransferStore&) = delete;

    // Makes the folder when it is missing and finds the newest file already there.
    bool prepare(std::string* error);

    bool isStoring() const { return m_fd >= 0 || m_failed; }
    // Starts a transfer in a new numbered file.
    bool begin(std::string* error);
    // Appends to the transfer; false when this write failed. After a failure the rest of the
    // transfer is counted but dropped.
    bool append(const char* data, std::size_t size, std::string* error);

    struct Result
    {
        std::string path;           // empty when no file could be made
        std::uint64_t size = 0;     // bytes in the file
        std::uint64_t received = 0; // bytes that arrived
        std::string sha256;         // lower-case hex
        bool complete = true;       // false when a write failed and bytes were dropped
    };
    // Ends the transfer: the file is closed and will not be written again.
    Result finish();

    // The last file finished (or, before the first, the highest-numbered file found by
    // `prepare`); empty when there is none.
    const std::string& newest() const { return m_newest; }

private:
    unsigned highestNumber() const;
    std::string pathFor(unsigned number) const;

    std::string m_folder;
    std::string m_newest;
    int m_fd = -1;
    bool m_failed = false;
    Result m_current;
    std::uint64_t m_received = 0;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
};
