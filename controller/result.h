#ifndef RESULT_H
#define RESULT_H

#include <QString>

#include <optional>
#include <utility>
#include <variant>

namespace Torvan {

// What kept a call to the controller from doing what it was asked, in one
// line a person can read.
struct Failure
{
    enum Kind {
        NoAdapter, // none found (with the serial number asked for)
        SeveralAdapters, // several found, and none named, or with one serial number
        CannotOpen,
        NoReply, // no reply in time, or one that is not exactly 32 bytes
        LineLost, // the adapter went away
        NotApplied, // a set-point read back differently
        NotRestored, // a restore read back differently
        CannotBackUp, // the controller holds values a restore would refuse
        BadBackup, // a backup file restore refuses; nothing was sent
        OtherInstrument, // a backup made of another adapter; nothing was sent
        InUse, // another program of this project has the adapter open
        NotSent, // a frame could not be handed to the line
        Unconfirmed, // replies after a fault on the line never agreed
    };
    Kind kind;
    QString message;
};

// A value, or what kept it from being had. Programs with failures of their
// own (a bad argument, a file that cannot be read) name their type as E.
template<typename T, typename E = Failure> class Result
{
public:
    Result(T value)
        : outcome(std::in_place_index<0>, std::move(value))
    { }
    Result(E failure)
        : outcome(std::in_place_index<1>, std::move(failure))
    { }

    explicit operator bool() const { return outcome.index() == 0; }
    const T &operator*() const { return std::get<0>(outcome); }
    T &operator*() { return std::get<0>(outcome); }
    const T *operator->() const { return &std::get<0>(outcome); }
    const E &failure() const { return std::get<1>(outcome); }

private:
    std::variant<T, E> outcome;
};

// Done, or what kept it from being done.
template<typename E> class Result<void, E>
{
public:
    Result() = default;
    Result(E failure)
        : fault(std::move(failure))
    { }

    explicit operator bool() const { return !fault; }
    const E &failure() const { return *fault; }

private:
    std::optional<E> fault;
};

using Done = Result<void>;

} // namespace Torvan

#endif // RESULT_H
