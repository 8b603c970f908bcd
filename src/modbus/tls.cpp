// Modbus/TCP Security: the client context (tls_context), the certificate's role (certificate_role), the handshake.
//
// A ModbusTCPMaster given an ssl_context wraps its connection in TLS where it connects (the
// constructor and each reconnection) with the context's wrap_socket, naming the host for
// the certificate check; the handshake happens there, so a failed one raises ssl.SSLError
// (an OSError) before any request is sent. The TLS socket then carries the transactions on
// the socket object road (its own send and recv).
#include "modbus/tls.hpp"

#include "modbus/x509_role.hpp"
#include "module/runtime.hpp"

#include <cstring>

namespace brel::tls {
namespace {

Ref ssl_module() { return own(PyImport_ImportModule("ssl")); }

Ref none() { return Ref::borrow(Py_None); }

}  // namespace

void check_context(PyObject* context) {
    if (context == Py_None) return;
    Ref ssl = ssl_module();
    Ref type = getattr(ssl.get(), BREL_STR("SSLContext"));
    if (check(PyObject_IsInstance(context, type.get())) == 0) raise_arg_type("ssl_context", "ssl.SSLContext", context);
}

Ref handshake(PyObject* context, PyObject* sock, PyObject* host) {
    Ref wrap = getattr(context, BREL_STR("wrap_socket"));
    Ref keywords = own(PyDict_New());
    check(PyDict_SetItem(keywords.get(), BREL_STR("server_hostname"), host));
    Ref args = own(PyTuple_Pack(1, sock));
    Ref wrapped = Ref::steal_or_null(PyObject_Call(wrap.get(), args.get(), keywords.get()));
    if (!wrapped) {
        // The plain connection goes with the failed handshake; the handshake's error stays.
        PyObject* pending = PyErr_GetRaisedException();
        if (!Ref::steal_or_null(PyObject_CallMethodNoArgs(sock, BREL_STR("close")))) PyErr_Clear();
        PyErr_SetRaisedException(pending);
        raise();
    }
    return wrapped;
}

bool error_pending() noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    if (!pending) return false;
    bool matches = false;
    // ssl is imported by then, or it never was and no SSLError can be pending.
    if (const Ref ssl = Ref::steal_or_null(PyImport_GetModule(BREL_STR("ssl")))) {
        if (const Ref error = Ref::steal_or_null(PyObject_GetAttrString(ssl.get(), "SSLError")))
            matches = PyErr_GivenExceptionMatches(pending, error.get());
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return matches;
}

// ---- tls_context(cafile=None, certfile=None, keyfile=None, verify=True) --------------------

Ref tls_context(Args& a) {
    PyObject *cafile = a[0], *certfile = a[1], *keyfile = a[2], *verify = a[3];
    const bool checked = check(PyObject_IsTrue(verify)) != 0;
    Ref ssl = ssl_module();
    Ref protocol = getattr(ssl.get(), BREL_STR("PROTOCOL_TLS_CLIENT"));
    Ref context_type = getattr(ssl.get(), BREL_STR("SSLContext"));
    Ref context = call(context_type.get(), protocol.get());
    Ref versions = getattr(ssl.get(), BREL_STR("TLSVersion"));
    Ref lowest = getattr(versions.get(), BREL_STR("TLSv1_2"));
    setattr(context.get(), BREL_STR("minimum_version"), lowest.get());
    if (checked) {
        // PROTOCOL_TLS_CLIENT checks the certificate and the host name by default.
        if (cafile != Py_None) {
            Ref keywords = own(PyDict_New());
            check(PyDict_SetItem(keywords.get(), BREL_STR("cafile"), cafile));
            Ref load = getattr(context.get(), BREL_STR("load_verify_locations"));
            Ref no_args = own(PyTuple_New(0));
            own(PyObject_Call(load.get(), no_args.get(), keywords.get()));
        } else {
            call_method(context.get(), BREL_STR("load_default_certs"));
        }
    } else {
        setattr(context.get(), BREL_STR("check_hostname"), Py_False);
        Ref none_required = getattr(ssl.get(), BREL_STR("CERT_NONE"));
        setattr(context.get(), BREL_STR("verify_mode"), none_required.get());
    }
    if (certfile != Py_None) {
        call_method(context.get(), BREL_STR("load_cert_chain"), certfile, keyfile);
    } else if (keyfile != Py_None) {
        raise(PyExc_ValueError, "tls_context: keyfile needs a certfile");
    }
    return context;
}

// ---- certificate_role(cert) ------------------------------------------------------------------

namespace {

bool starts_with_pem(const char* text, Py_ssize_t size) {
    static constexpr char kBegin[] = "-----BEGIN";
    for (Py_ssize_t i = 0; i + static_cast<Py_ssize_t>(sizeof kBegin) - 1 <= size; ++i) {
        if (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n') continue;
        return std::memcmp(text + i, kBegin, sizeof kBegin - 1) == 0;
    }
    return false;
}

// The DER bytes of `cert`: DER bytes as they are; PEM (text or bytes) through
// ssl.PEM_cert_to_DER_cert; any other str or path-like as a file holding either.
Ref der_of(PyObject* cert) {
    Ref ssl = ssl_module();
    if (PyUnicode_Check(cert)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(cert, &size);
        if (!text) raise();
        if (starts_with_pem(text, size)) return call_method(ssl.get(), BREL_STR("PEM_cert_to_DER_cert"), cert);
    }
    if (PyBytes_Check(cert) || PyByteArray_Check(cert) || PyMemoryView_Check(cert)) {
        Ref bytes = call(reinterpret_cast<PyObject*>(&PyBytes_Type), cert);
        if (!starts_with_pem(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()))) return bytes;
        Ref text = own(PyUnicode_FromEncodedObject(bytes.get(), "ascii", "strict"));
        return call_method(ssl.get(), BREL_STR("PEM_cert_to_DER_cert"), text.get());
    }
    // A path: read the file, then as above.
    Ref io = own(PyImport_ImportModule("io"));
    Ref mode = own(PyUnicode_FromString("rb"));
    Ref file = call_method(io.get(), BREL_STR("open"), cert, mode.get());
    Ref content;
    try {
        content = call_method(file.get(), BREL_STR("read"));
    } catch (const PyError&) {
        PyObject* pending = PyErr_GetRaisedException();
        if (!Ref::steal_or_null(PyObject_CallMethodNoArgs(file.get(), BREL_STR("close")))) PyErr_Clear();
        PyErr_SetRaisedException(pending);
        throw;
    }
    call_method(file.get(), BREL_STR("close"));
    return der_of(content.get());
}

}  // namespace

Ref certificate_role(Args& a) {
    Ref der = der_of(a[0]);
    if (!PyBytes_Check(der.get())) raise(PyExc_ValueError, "certificate_role: not a certificate");
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(der.get()));
    const x509::Role role = x509::role_of(bytes, static_cast<std::size_t>(PyBytes_GET_SIZE(der.get())));
    switch (role.found) {
        case x509::RoleFound::Role:
            return own(PyUnicode_DecodeUTF8(role.text.data(), static_cast<Py_ssize_t>(role.text.size()), "strict"));
        case x509::RoleFound::NoRole:
            return none();
        case x509::RoleFound::NotAString:
            raise(PyExc_ValueError, "certificate_role: the role extension holds no string");
        default:
            raise(PyExc_ValueError, "certificate_role: not a DER certificate");
    }
}

const FunctionSpec& tls_context_function() {
    static const FunctionSpec spec{.name = "tls_context",
                                   .impl = tls_context,
                                   .params = {{"cafile", "~str | None", none_default},
                                              {"certfile", "~str | None", none_default},
                                              {"keyfile", "~str | None", none_default},
                                              {"verify", "~bool", bool_default(true)}},
                                   .returns = "~ssl.SSLContext"};
    return spec;
}

const FunctionSpec& certificate_role_function() {
    static const FunctionSpec spec{.name = "certificate_role",
                                   .impl = certificate_role,
                                   .params = {{"cert", "~str | bytes | os.PathLike"}},
                                   .returns = "~str | None"};
    return spec;
}

}  // namespace brel::tls
