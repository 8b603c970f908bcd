// The Modbus role of an X.509 certificate (the Modbus/TCP Security extension), read from its DER bytes: plain C++.
//
// A certificate is SEQUENCE { tbsCertificate, signatureAlgorithm, signature }; the
// extensions are the [3] EXPLICIT field of tbsCertificate, a SEQUENCE OF Extension, each
// SEQUENCE { extnID OBJECT IDENTIFIER, critical BOOLEAN DEFAULT FALSE, extnValue OCTET
// STRING }. The role extension's extnValue holds the DER of one string (UTF8String as the
// standard writes it; PrintableString and IA5String are taken too). Only definite lengths
// are read (DER has no other); anything that does not parse is Malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brel::x509 {

// 1.3.6.1.4.1.50316.802.1, as its DER contents bytes.
inline constexpr std::uint8_t kRoleOid[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x83, 0x89, 0x0C, 0x86, 0x22, 0x01};

enum class RoleFound : std::uint8_t { Role, NoRole, Malformed, NotAString };

struct Role {
    RoleFound found = RoleFound::Malformed;
    std::string_view text;  // Role: the string's bytes, within the certificate
};

namespace detail {

// One DER element: its tag, its contents and what follows it.
struct Element {
    std::uint8_t tag = 0;
    const std::uint8_t* contents = nullptr;
    std::size_t size = 0;
    const std::uint8_t* next = nullptr;
};

// Reads the element at [p, end); false when it does not fit.
constexpr bool read(const std::uint8_t* p, const std::uint8_t* end, Element& out) noexcept {
    if (end - p < 2) return false;
    out.tag = p[0];
    if ((out.tag & 0x1F) == 0x1F) return false;  // high tag numbers: none in a certificate's frame
    std::size_t length = p[1];
    p += 2;
    if (length & 0x80) {
        const std::size_t octets = length & 0x7F;
        if (octets == 0 || octets > sizeof(std::size_t) || static_cast<std::size_t>(end - p) < octets) return false;
        length = 0;
        for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | *p++;
    }
    if (length > static_cast<std::size_t>(end - p)) return false;
    out.contents = p;
    out.size = length;
    out.next = p + length;
    return true;
}

constexpr bool same_oid(const Element& e) noexcept {
    if (e.tag != 0x06 || e.size != sizeof kRoleOid) return false;
    for (std::size_t i = 0; i < sizeof kRoleOid; ++i)
        if (e.contents[i] != kRoleOid[i]) return false;
    return true;
}

}  // namespace detail

// The role of the certificate in `der`.
inline Role role_of(const std::uint8_t* der, std::size_t size) noexcept {
    using detail::Element;
    using detail::read;
    Element certificate, tbs;
    if (!read(der, der + size, certificate) || certificate.tag != 0x30) return {};
    const std::uint8_t* cert_end = certificate.contents + certificate.size;
    if (!read(certificate.contents, cert_end, tbs) || tbs.tag != 0x30) return {};
    const std::uint8_t* end = tbs.contents + tbs.size;
    for (const std::uint8_t* p = tbs.contents; p < end;) {
        Element field;
        if (!read(p, end, field)) return {};
        p = field.next;
        if (field.tag != 0xA3) continue;  // [3] EXPLICIT Extensions
        Element list;
        if (!read(field.contents, field.contents + field.size, list) || list.tag != 0x30) return {};
        const std::uint8_t* list_end = list.contents + list.size;
        for (const std::uint8_t* q = list.contents; q < list_end;) {
            Element extension, id, value;
            if (!read(q, list_end, extension) || extension.tag != 0x30) return {};
            q = extension.next;
            const std::uint8_t* ext_end = extension.contents + extension.size;
            if (!read(extension.contents, ext_end, id)) return {};
            if (!detail::same_oid(id)) continue;
            if (!read(id.next, ext_end, value)) return {};
            if (value.tag == 0x01 && !read(value.next, ext_end, value)) return {};  // critical
            if (value.tag != 0x04) return {};
            Element text;
            if (!read(value.contents, value.contents + value.size, text)) return {};
            if (text.tag != 0x0C && text.tag != 0x13 && text.tag != 0x16) return {RoleFound::NotAString, {}};
            return {RoleFound::Role, {reinterpret_cast<const char*>(text.contents), text.size}};
        }
        return {RoleFound::NoRole, {}};
    }
    return {RoleFound::NoRole, {}};
}

}  // namespace brel::x509
