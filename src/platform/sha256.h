#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <memory>

// SHA-256 of a stream of bytes, fed as they pass. Through OpenSSL where it is available, which
// uses the processor's SHA instructions: several times faster than Qt's own, so that checking
// a transfer costs little next to moving it.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void addData(QByteArrayView bytes);
    // The digest of everything added so far, in lower-case hex. Adding may go on afterwards.
    QByteArray hex() const;
    void reset();

private:
    struct State;
    std::unique_ptr<State> m_state;
};
