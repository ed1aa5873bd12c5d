#include "queue_password.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <string_view>

namespace quillon::batch {

namespace {

// %41 -> 'A'; a broken escape is kept as written.
std::string percentDecoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(
          std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The values of `key`=... in a URI's query ("?a=1&password=x").
std::vector<std::string> queryValues(std::string_view query,
                                     std::string_view key) {
  std::vector<std::string> values;
  for (std::size_t from = 0; from <= query.size();) {
    const std::size_t end = std::min(query.find('&', from), query.size());
    const std::string_view pair = query.substr(from, end - from);
    const std::size_t equals = pair.find('=');
    if (equals != pair.npos && pair.substr(0, equals) == key)
      values.emplace_back(pair.substr(equals + 1));
    from = end + 1;
  }
  return values;
}

// The values of password=... in a connection string, as written (inside
// any quotes) and unescaped.
std::vector<std::string> conninfoPasswords(std::string_view text) {
  std::vector<std::string> values;
  constexpr std::string_view kKey = "password";
  for (std::size_t at = text.find(kKey); at != text.npos;
       at = text.find(kKey, at + 1)) {
    std::size_t i = at + kKey.size();
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
      ++i;
    if (i >= text.size() || text[i] != '=') continue;
    ++i;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
      ++i;
    const bool quoted = i < text.size() && text[i] == '\'';
    if (quoted) ++i;
    std::string raw, unescaped;
    for (; i < text.size(); ++i) {
      const char c = text[i];
      if (quoted ? c == '\'' : std::isspace(static_cast<unsigned char>(c)))
        break;
      raw += c;
      if (c == '\\' && i + 1 < text.size()) {
        raw += text[++i];
        unescaped += text[i];
      } else {
        unescaped += c;
      }
    }
    values.push_back(raw);
    values.push_back(unescaped);
  }
  return values;
}

}  // namespace

PasswordMask::PasswordMask(const std::string& url) {
  // What libpq makes of it, when it can.
  char* error = nullptr;
  if (PQconninfoOption* options = PQconninfoParse(url.c_str(), &error)) {
    for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
      if (o->val != nullptr && std::string_view(o->keyword) == "password")
        add(o->val);
    }
    PQconninfoFree(options);
  }
  PQfreemem(error);
  // And as written, for the URL it cannot parse.
  for (const std::string& value : conninfoPasswords(url)) add(value);
  const std::size_t scheme = url.find("://");
  if (scheme == std::string::npos) return;
  const std::string_view rest = std::string_view(url).substr(scheme + 3);
  // user:password@ ends at the first '@' as libpq reads it, at the last
  // as a person may have meant it: both are hidden.
  for (const std::size_t at : {rest.find('@'), rest.rfind('@')}) {
    if (at == rest.npos) continue;
    const std::string_view userinfo = rest.substr(0, at);
    if (const std::size_t colon = userinfo.find(':'); colon != rest.npos) {
      add(std::string(userinfo.substr(colon + 1)));
      add(percentDecoded(userinfo.substr(colon + 1)));
    }
  }
  if (const std::size_t query = rest.find('?'); query != rest.npos) {
    for (const std::string& value :
         queryValues(rest.substr(query + 1), "password")) {
      add(value);
      add(percentDecoded(value));
    }
  }
}

void PasswordMask::add(std::string secret) {
  if (secret.empty() ||
      std::find(secrets_.begin(), secrets_.end(), secret) != secrets_.end())
    return;
  secrets_.push_back(std::move(secret));
  std::stable_sort(
      secrets_.begin(), secrets_.end(),
      [](const auto& a, const auto& b) { return a.size() > b.size(); });
}

std::string PasswordMask::hidden(std::string text) const {
  for (const std::string& secret : secrets_) {
    for (std::size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + 3))
      text.replace(at, secret.size(), "***");
  }
  return text;
}

}  // namespace quillon::batch
