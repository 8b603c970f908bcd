// Modbus/TCP Security for ModbusTCPMaster: the context check, the handshake, and the module's TLS functions.
#pragma once

#include "module/function.hpp"
#include "module/ref.hpp"

namespace brel::tls {

// TypeError (the argument-type text) unless `context` is None or an ssl.SSLContext.
void check_context(PyObject* context);
// context.wrap_socket(sock, server_hostname=host): the handshake. On failure the plain
// socket is closed and the handshake's error (ssl.SSLError, an OSError) passes on.
Ref handshake(PyObject* context, PyObject* sock, PyObject* host);
// True when the pending exception is an ssl.SSLError (false when ssl was never imported).
bool error_pending() noexcept;

const FunctionSpec& tls_context_function();
const FunctionSpec& certificate_role_function();

}  // namespace brel::tls
