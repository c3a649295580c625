#include "core/release_statement.hpp"

#include <ctime>

#include "core/ed25519.hpp"
#include "core/json_read.hpp"
#include "core/json_text.hpp"

namespace tarvik {

namespace {

constexpr size_t kMaxStatementBytes = 64 * 1024;

Json parse_object(std::string_view text, const char* what) {
    if (text.size() > kMaxStatementBytes) throw StatementRefusal(std::string(what) + " is too long");
    Json doc;
    try {
        doc = parse_json(text);
    } catch (const std::exception&) {
        throw StatementRefusal(std::string(what) + " is not a JSON object");
    }
    if (!doc.is_object()) throw StatementRefusal(std::string(what) + " is not a JSON object");
    return doc;
}

std::string text_member(const Json& doc, const char* key) {
    auto it = doc.find(key);
    if (it == doc.end() || !it->is_string())
        throw StatementRefusal(std::string("signed statement lacks \"") + key + "\"");
    return it->get<std::string>();
}

template <typename T>
T number_member(const Json& doc, const char* key) {
    auto it = doc.find(key);
    bool ok = it != doc.end() && (it->is_number_unsigned() || (it->is_number_integer() && it->get<int64_t>() >= 0));
    if (!ok) throw StatementRefusal(std::string("signed statement lacks \"") + key + "\"");
    return it->get<T>();
}

bool is_hex64(const std::string& s) {
    if (s.size() != 64) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

ReleaseClaims claims_of(const std::string& statement) {
    Json doc = parse_object(statement, "signed statement");
    if (text_member(doc, "type") != kStatementType) throw StatementRefusal("signed statement of an unknown type");
    ReleaseClaims c;
    c.app_name = text_member(doc, "app_name");
    c.os = text_member(doc, "os");
    c.arch = text_member(doc, "arch");
    c.version = text_member(doc, "version");
    c.manifest_sha256 = text_member(doc, "manifest_sha256");
    if (!is_hex64(c.manifest_sha256)) throw StatementRefusal("signed statement has a malformed manifest hash");
    c.manifest_size = number_member<uint64_t>(doc, "manifest_size");
    c.counter = number_member<uint64_t>(doc, "counter");
    c.signed_at = number_member<int64_t>(doc, "signed_at");
    c.expires_at = number_member<int64_t>(doc, "expires_at");
    return c;
}

}  // namespace

Json claims_json(const ReleaseClaims& c) {
    Json claims = Json::object();
    claims["app_name"] = c.app_name;
    claims["os"] = c.os;
    claims["arch"] = c.arch;
    claims["version"] = c.version;
    claims["manifest_sha256"] = c.manifest_sha256;
    claims["manifest_size"] = c.manifest_size;
    claims["counter"] = c.counter;
    claims["signed_at"] = c.signed_at;
    claims["expires_at"] = c.expires_at;
    return claims;
}

std::string make_statement(const ReleaseClaims& c, std::string_view private_pem) {
    Json claims = Json::object();
    claims["type"] = kStatementType;
    claims.update(claims_json(c));
    const std::string statement = claims.dump(-1, ' ', false, Json::error_handler_t::strict);
    const std::string public_pem = ed25519::public_pem_of(private_pem);
    Json doc = Json::object();
    doc["statement"] = statement;
    doc["key_id"] = ed25519::key_id(public_pem);
    doc["signature"] = ed25519::base64_encode(ed25519::sign(private_pem, statement));
    return json_text(doc);
}

ReleaseClaims verify_statement(std::string_view text, std::string_view public_pem) {
    Json doc = parse_object(text, "signed statement file");
    auto statement = doc.find("statement");
    auto signature = doc.find("signature");
    if (statement == doc.end() || !statement->is_string() || signature == doc.end() || !signature->is_string())
        throw StatementRefusal("signed statement file lacks its statement or signature");
    const std::string& claims_text = statement->get_ref<const std::string&>();
    std::string sig = ed25519::base64_decode(signature->get_ref<const std::string&>());
    if (!ed25519::verify(public_pem, claims_text, sig))
        throw StatementRefusal("the statement's signature does not verify with the pinned key " +
                               ed25519::key_id(public_pem));
    return claims_of(claims_text);
}

ReleaseClaims read_statement_claims(std::string_view text) {
    Json doc = parse_object(text, "signed statement file");
    auto statement = doc.find("statement");
    if (statement == doc.end() || !statement->is_string()) throw StatementRefusal("signed statement file lacks its statement");
    return claims_of(statement->get<std::string>());
}

std::string utc_text(int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

}  // namespace tarvik
