#include "service/profile_lines.h"

#include <glib.h>

#include <algorithm>
#include <string_view>

#include "common/secure_clear.h"
#include "service/profile_text.h"

namespace tessary::linux_service {
namespace {

// openvpn reads a configuration line into a 257-byte buffer and refuses one
// that fills it; inside an inline block it reads 255 bytes at a time, so the
// tail of a longer line would be searched for the closing tag on its own.
constexpr std::size_t kMaxOpenVpnLineBytes = 254;

// openvpn's own test: the end of the string or isspace() in the C locale.
bool IsOpenVpnSpace(char c) { return c == '\0' || IsSpace(c); }

// The first blank-separated token of |line|, quotes and backslashes kept.
std::string FirstToken(const std::string& line) {
  std::size_t begin = 0;
  while (begin < line.size() && IsSpace(line[begin])) ++begin;
  std::size_t end = begin;
  while (end < line.size() && !IsSpace(line[end])) ++end;
  return line.substr(begin, end - begin);
}

}  // namespace

void ForEachWireGuardLine(const std::string& config,
                          const std::function<bool(const WireGuardLine&)>& visit) {
  WireGuardSection section = WireGuardSection::kNone;
  std::size_t start = 0;
  bool more = true;
  // As wg-quick's read loop: no line after a final line feed.
  while (more && start < config.size()) {
    std::size_t end = config.find('\n', start);
    if (end == std::string::npos) end = config.size();
    WireGuardLine line;
    line.text.assign(config, start, end - start);
    // wg-quick and wg both end a line's text at its first "#".
    std::string uncommented = line.text.substr(0, line.text.find('#'));
    const std::size_t equals = uncommented.find('=');
    line.hasEquals = equals != std::string::npos;
    std::string key = Trim(uncommented.substr(0, equals));
    if (line.hasEquals) line.value = Trim(uncommented.substr(equals + 1));
    line.key = Lowercase(key);
    line.sectionLine = !key.empty() && key[0] == '[';
    if (line.sectionLine) {
      if (line.key == "[interface]") {
        section = WireGuardSection::kInterface;
      } else if (line.key == "[peer]") {
        section = WireGuardSection::kPeer;
      } else {
        section = WireGuardSection::kOther;
      }
    }
    line.section = section;
    // wg-quick matches its own keys whole and, in a UTF-8 locale, folds
    // non-ASCII letters; wg joins the words of a key and folds ASCII only. A
    // section line with "=" is a section to wg-quick and no line wg knows.
    for (char c : key) {
      if (IsSpace(c) || static_cast<unsigned char>(c) >= 0x80) line.ambiguous = true;
    }
    if (line.sectionLine && line.hasEquals) line.ambiguous = true;
    more = visit(line) && end < config.size();
    // Overwritten before release: lines can hold the private key.
    SecureClear(&line.text);
    SecureClear(&line.key);
    SecureClear(&line.value);
    SecureClear(&uncommented);
    SecureClear(&key);
    start = end + 1;
  }
}

std::vector<std::string> SplitWireGuardList(const std::string& value) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start < value.size()) {
    std::size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    pieces.push_back(Trim(std::string_view(value).substr(start, comma - start)));
    start = comma + 1;
  }
  return pieces;
}

WireGuardEndpoint ReadWireGuardEndpoint(const std::string& value) {
  WireGuardEndpoint endpoint;
  const std::size_t colons = static_cast<std::size_t>(std::count(value.begin(), value.end(), ':'));
  endpoint.readsAlike = std::none_of(value.begin(), value.end(), IsSpace) &&
                        (value.empty() || value[0] == '[' || colons <= 1);
  if (value.empty()) return endpoint;
  if (value[0] == '[') {
    const std::size_t close = value.find(']');
    if (close == std::string::npos) return endpoint;
    endpoint.host = value.substr(1, close - 1);
    if (value.compare(close + 1, 1, ":") == 0) endpoint.port = value.substr(close + 2);
    return endpoint;
  }
  if (colons == 1) {
    const std::size_t colon = value.find(':');
    endpoint.host = value.substr(0, colon);
    endpoint.port = value.substr(colon + 1);
    return endpoint;
  }
  // Several colons and a bracket that does not open the value is neither a
  // bare IPv6 address nor the bracketed form.
  if (colons > 1 && value.find('[') != std::string::npos) return endpoint;
  endpoint.host = value;
  return endpoint;
}

bool SplitOpenVpnWords(const std::string& line, std::vector<std::string>* words) {
  enum class State { kInitial, kUnquoted, kDoubleQuoted, kSingleQuoted };
  State state = State::kInitial;
  bool backslash = false;
  std::string word;
  words->clear();
  // Follows openvpn's parse_line character by character, the terminating NUL
  // included, so that every quote, escape and comment rule matches.
  for (std::size_t i = 0; i <= line.size(); ++i) {
    const char in = i < line.size() ? line[i] : '\0';
    char out = 0;
    if (!backslash && in == '\\' && state != State::kSingleQuoted) {
      backslash = true;
    } else {
      bool done = false;
      switch (state) {
        case State::kInitial:
          if (!IsOpenVpnSpace(in)) {
            if (in == ';' || in == '#') return true;
            if (!backslash && in == '"') {
              state = State::kDoubleQuoted;
            } else if (!backslash && in == '\'') {
              state = State::kSingleQuoted;
            } else {
              out = in;
              state = State::kUnquoted;
            }
          }
          break;
        case State::kUnquoted:
          if (!backslash && IsOpenVpnSpace(in)) {
            done = true;
          } else {
            out = in;
          }
          break;
        case State::kDoubleQuoted:
          if (!backslash && in == '"') {
            done = true;
          } else {
            out = in;
          }
          break;
        case State::kSingleQuoted:
          if (in == '\'') {
            done = true;
          } else {
            out = in;
          }
          break;
      }
      if (done) {
        words->push_back(word);
        word.clear();
        state = State::kInitial;
      }
      if (backslash && out != 0 && out != '\\' && out != '"' && !IsOpenVpnSpace(out)) {
        return false;
      }
      backslash = false;
    }
    if (out != 0) {
      if (word.size() >= kMaxOpenVpnWordBytes) return false;
      word.push_back(out);
    }
    if (words->size() >= kMaxOpenVpnWords) return true;
    if (in == '\0') break;
  }
  return state == State::kInitial;
}

void ForEachOpenVpnLine(const std::string& config,
                        const std::function<bool(const OpenVpnLine&)>& visit) {
  OpenVpnLine line;
  bool inBlock = false;
  std::string openBlock;  // as written: openvpn compares the closing tag exactly
  std::size_t start = 0;
  while (start < config.size()) {
    std::size_t end = config.find('\n', start);
    const bool lineFeed = end != std::string::npos;
    if (!lineFeed) end = config.size();
    line.kind = OpenVpnLine::Kind::kNothing;
    // Block lines are keys and certificates: the buffer is wiped before it is
    // reused or reallocated, and block lines are never copied.
    SecureClear(&line.text);
    line.text.assign(config, start, end - start);
    line.block.clear();
    line.words.clear();
    line.ambiguous = line.text.size() > kMaxOpenVpnLineBytes;
    const bool firstLine = start == 0;
    start = end + 1;

    if (inBlock) {
      const std::string closing = "</" + openBlock + ">";
      const std::string& text = line.text;
      std::size_t begin = 0;
      std::size_t end = text.size();
      while (begin < end && IsSpace(text[begin])) ++begin;
      while (end > begin && IsSpace(text[end - 1])) --end;
      line.block = openBlock;
      if (text.compare(begin, closing.size(), closing) == 0) {
        line.kind = OpenVpnLine::Kind::kBlockClose;
        line.ambiguous = line.ambiguous || end - begin != closing.size();
        inBlock = false;
      } else {
        line.kind = OpenVpnLine::Kind::kBlockLine;
        line.ambiguous = line.ambiguous || (end - begin >= closing.size() &&
                                            g_ascii_strncasecmp(text.data() + begin, closing.data(),
                                                                closing.size()) == 0);
      }
    } else {
      // openvpn skips a byte-order mark at the start of the file and hands
      // each line to its parser with the line feed still on it.
      std::string body = line.text;
      if (firstLine && body.compare(0, 3, "\xEF\xBB\xBF") == 0) body.erase(0, 3);
      if (lineFeed) body.push_back('\n');
      const bool readable = SplitOpenVpnWords(body, &line.words);
      if (!readable) line.ambiguous = true;
      const std::string trimmed = Trim(body);
      // A line that only a backslash makes a comment ("\\#") is a directive to
      // a plain reading.
      if (line.words.empty() && !trimmed.empty() && trimmed[0] != '#' && trimmed[0] != ';') {
        line.ambiguous = true;
      }
      if (!line.words.empty()) {
        std::string& name = line.words[0];
        if (name.size() >= 3 && name.compare(0, 2, "--") == 0) name.erase(0, 2);
        if (readable && line.words.size() == 1 && !name.empty() && name.front() == '<' &&
            name.back() == '>') {
          line.kind = OpenVpnLine::Kind::kBlockOpen;
          line.block = name.substr(1, name.size() - 2);
          line.ambiguous = line.ambiguous || trimmed != name;
          line.words.clear();
          openBlock = line.block;
          inBlock = true;
        } else {
          line.kind = OpenVpnLine::Kind::kDirective;
          line.ambiguous = line.ambiguous ||
                           FirstToken(trimmed).find_first_of("\"'\\") != std::string::npos ||
                           trimmed[0] == '<';
        }
      }
    }
    if (!visit(line) || !lineFeed) break;
  }
  SecureClear(&line.text);
  for (std::string& word : line.words) SecureClear(&word);
}

}  // namespace tessary::linux_service
