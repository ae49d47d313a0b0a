// The link box of the main window and of the server tray menu.

#include <iterator>
#include <string>

#include <QClipboard>
#include <QGuiApplication>

#include "catalogue/ServerUi.h"
#include "platform/Text.h"
#include "ui/DrivePath.h"
#include "ui/HttpProt.h"
#include "ui/frmMain.h"

namespace {

constexpr const char* kLocalAddressNote = "(local address: the public address could not be looked up)";

}  // namespace

std::string BuildServerLink(const std::string& address, const TServerFile& server, bool tls) {
  static const char* const kSchemes[] = {"ftp://", "http://", "vokt://"};
  // Explicit FTPS and HTTPS on the server's own port: clients that know these schemes
  // ask for TLS at once, so the login never crosses the network in clear.
  static const char* const kTlsSchemes[] = {"ftpes://", "https://", "vokt://"};
  if (server.Type >= std::size(kSchemes)) return {};
  std::string user;
  // Escaped, or a "/", "#" or "@" in a password would end the login early and the
  // link would name another host.
  if (!server.Username.empty() || !server.Password.empty())
    user = PercentEncode(server.Username) + ":" + PercentEncode(server.Password) + "@";
  return (tls ? kTlsSchemes : kSchemes)[server.Type] + user + address + ":" + std::to_string(server.Port) + "/";
}

void TfMain::ShowServerLink(const TServerFile& server, bool tls) {
  Guarded([this, &server, tls] {
    std::string address;
    bool local = false;
    try {
      address = GetPublicAddress(PublicAddressUrl(), PublicAddressTimeLimit());
    } catch (const EHttpException&) {
      // Offline or with the lookup service gone, a link that works on this network
      // beats an error box; with no network at all the lookup's own text explains.
      if (LanAddress) address = LanAddress();
      if (address.empty()) throw;
      local = true;
    }
    const std::string link = BuildServerLink(address, server, tls);
    std::string text = "Link: " + link + "\r\n(If you have a firewall, make sure port " +
                       std::to_string(server.Port) + " is not blocked)\r\n";
    if (local) text += std::string(kLocalAddressNote) + "\r\n";
    text += "\r\nCopy to clipboard?";
    if (LinkBox(text)) QGuiApplication::clipboard()->setText(ToQt(link));
  });
}
