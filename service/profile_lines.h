// The readers of the line formats, WireGuard's and OpenVPN's, down to the
// values the service acts on. Validation, the engine's rewrites and endpoint
// collection all read profile text here, so they cannot disagree about what a
// line or a value is.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tessary::linux_service {

// The section a WireGuard line stands in, as wg-quick tracks it.
enum class WireGuardSection { kNone, kInterface, kPeer, kOther };

// One line of WireGuard configuration text, read as wg-quick reads it before
// it hands the lines it does not consume to wg: everything from the first "#"
// is a comment, the key is the text before the first "=" and the value the
// text after it, both trimmed. A key that begins with "[" is a section line.
struct WireGuardLine {
  std::string text;   // the line as written, without its line feed
  std::string key;    // lower-cased (ASCII); "" for a blank or comment line
  std::string value;  // case kept; "" when the line has no "="
  bool hasEquals = false;
  bool sectionLine = false;
  // In force for this line; a section line stands in the section it opens.
  WireGuardSection section = WireGuardSection::kNone;
  // wg drops every blank inside a line and compares keys by ASCII case only;
  // set when wg-quick and wg could take this line for different things.
  bool ambiguous = false;
};

// Calls |visit| with each line of |config| (split at line feeds; a last line
// without one counts) until it returns false. The one reader of WireGuard
// text for validation, the engine's rewrite and endpoint collection. Lines
// may hold keys: the record is wiped after each call, so |visit| must not keep
// references to it.
void ForEachWireGuardLine(const std::string& config,
                          const std::function<bool(const WireGuardLine&)>& visit);

// The pieces of a comma-separated WireGuard value (DNS, AllowedIPs), each
// trimmed, split as a stream read with a comma delimiter: a trailing comma
// adds no piece, an empty piece anywhere else is one. Validation counts DNS
// servers and the rewrite hands them to the DNS helper from this one split.
std::vector<std::string> SplitWireGuardList(const std::string& value);

// A peer's Endpoint value: "[v6]:port", "host:port", a bare name or a bare
// IPv6 address.
struct WireGuardEndpoint {
  std::string host;  // "" when the value names no host
  std::string port;  // the text after the host's colon; "" when there is none
  // wg receives the value with every blank removed and takes the host up to
  // the last colon unless it is bracketed, where this reader takes an
  // unbracketed IPv6 address whole; false when the two could differ.
  bool readsAlike = true;
};
WireGuardEndpoint ReadWireGuardEndpoint(const std::string& value);

// One line of an OpenVPN profile as openvpn 2.6 reads its configuration file.
// Validation, the device rewrite and endpoint collection all read profiles
// through ForEachOpenVpnLine, so they cannot disagree about what a line is.
struct OpenVpnLine {
  enum class Kind {
    kNothing,     // blank, or only comment words
    kDirective,   // |words| holds the option and its arguments
    kBlockOpen,   // an inline tag; |block| is the name between the brackets
    kBlockLine,   // content of the block |block|
    kBlockClose,  // the line that ends the block |block|
  };
  Kind kind = Kind::kNothing;
  std::string text;   // the line as written, without its line feed
  std::string block;  // the open block's name as written, for the block kinds
  // For kDirective the words as openvpn splits them, with a leading "--"
  // taken off the first; when openvpn would refuse the line, the words it
  // completed before the fault.
  std::vector<std::string> words;
  // True when a plain reading of |text| (blank-separated words, exact tag
  // lines) could differ from openvpn's, or openvpn would refuse the line. A
  // line longer than 254 bytes is always ambiguous: openvpn reads it in
  // pieces, which this reader does not follow.
  bool ambiguous = false;
};

// openvpn's limits on one line: 16 words, each shorter than 256 bytes.
inline constexpr std::size_t kMaxOpenVpnWords = 16;
inline constexpr std::size_t kMaxOpenVpnWordBytes = 255;

// Splits |line| into words the way openvpn's option parser does: double and
// single quotes, backslash escapes outside single quotes, and a word that
// starts with "#" or ";" ending the line. Returns false when openvpn refuses
// the line (an unclosed quote, a backslash before anything but a backslash,
// a double quote or white space, a word of kMaxOpenVpnWordBytes or more);
// |*words| then holds the words completed before the fault. At most
// kMaxOpenVpnWords words are taken, as openvpn ignores the rest.
bool SplitOpenVpnWords(const std::string& line, std::vector<std::string>* words);

// Calls |visit| with every line of |config| in order, split at line feeds (a
// final line feed starts no further line), until it returns false. Inline blocks end at the first
// line that begins, after white space, with the closing tag, as openvpn ends them.
void ForEachOpenVpnLine(const std::string& config,
                        const std::function<bool(const OpenVpnLine&)>& visit);

}  // namespace tessary::linux_service
