// The library's family of errors (ModbusError and one class per kind of failure) and the kind of failure an exception
// reports.
#pragma once

#include "module/ref.hpp"

#include <cstdint>

namespace brel {

// What went wrong in an exchange, as the poller and the command-line tool sort failures.
enum class FailureKind : std::uint8_t {
    Timeout,           // no answer, or not all of it, in time
    Frame,             // a damaged answer: CRC, malformed
    Mismatch,          // an answer that does not belong to the request
    Refusal,           // the slave's exception answer
    ConnectionClosed,  // the peer closed the connection
    MasterClosed,      // the master was closed by close()
    Other,
};

// The classes the exec step makes (owned; they live for the process). Each is a
// ModbusError and also the built-in type the library raised for its failure before:
//   ModbusTimeoutError     TimeoutError (so OSError)
//   FrameError             ValueError, AssertionError
//   MismatchError          OSError, ValueError, AssertionError
//   ConnectionClosedError  ConnectionError (so OSError)
//   MasterClosedError      OSError
struct ErrorFamily {
    PyObject* base = nullptr;
    PyObject* timeout = nullptr;
    PyObject* frame = nullptr;
    PyObject* mismatch = nullptr;
    PyObject* connection_closed = nullptr;
    PyObject* master_closed = nullptr;
    PyObject* refusal = nullptr;  // the library's SlaveException
};
extern ErrorFamily errors;

// Makes the family's classes, not yet bound: the exec step runs it before SlaveException,
// whose base is ModbusError.
void make_error_family();
// Records the library's SlaveException.
void record_refusal_class(PyObject* type) noexcept;
// Binds the family's names in the namespace, after every earlier name.
void bind_error_family(PyObject* ns);

// The class a failure is raised as: `family` while `looked_up` (a builtin the module looked up
// when it started, such as IOError) is the interpreter's own `builtin`; otherwise what was
// looked up, so that a replaced builtin is what the caller gets.
inline PyObject* family_or(PyObject* family, PyObject* looked_up, PyObject* builtin) noexcept {
    return looked_up == builtin && family ? family : looked_up;
}

// The kind of failure an exception (an instance) reports, from its class alone.
FailureKind failure_kind(PyObject* exc) noexcept;
// The kind's name, as the poller and the tool print it: "timeout", "frame", ...
const char* failure_name(FailureKind kind) noexcept;

}  // namespace brel
