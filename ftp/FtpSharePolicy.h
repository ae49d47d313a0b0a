#pragma once
// The program's answers to the FTP engine: who may log in, and which paths a
// logged-in client may enter, list, read and write. Each handler finds its
// registry entry through the Tag of the server that calls it, decides from the
// entry's definition and logs the decision; none keeps state of its own.
//
// Paths are judged by their canonical native form (".", ".." and symbolic links
// resolved, letter case kept), so that nothing outside a shared folder is reached
// through it. The log lines show the path as the client's command produced it.

#include <string>

#include "ftp/FtpSrv.h"

// Any name logs in when the definition has neither user name nor password;
// otherwise both must match exactly. A login starts in the first shared folder.
void FtpAuthenticate(TFtpServer& sender, TFtpCtrlSocket& client, const std::string& userName,
                     const std::string& password, bool& authenticated);

// A file below a readable shared folder, at any depth (RETR; SIZE and MDTM unlogged).
void FtpValidateGet(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                    bool& allowed);
void FtpValidateSize(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed);
void FtpValidateMdtm(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed);
// A file below a writable shared folder, at any depth (STOR, APPE, STOU, RNFR, RNTO).
void FtpValidatePut(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                    bool& allowed);
void FtpValidateRnFr(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed);
void FtpValidateRnTo(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed);
// Nothing is ever deleted or removed; the attempt is logged.
void FtpValidateDele(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed);
void FtpValidateRmd(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                    bool& allowed);
// A shared folder itself, or any folder below a recursive one.
void FtpChangeDirectory(TFtpServer& sender, TFtpCtrlSocket& client, const std::string& directory,
                        bool& allowed);
// LIST and NLST: the folder whose entries the pattern enumerates must be one that
// CWD could enter. Not logged.
void FtpValidateList(TFtpServer& sender, TFtpCtrlSocket& client, std::string& pattern,
                     bool& allowed);
// A new folder at or below a writable shared folder.
void FtpMakeDirectory(TFtpServer& sender, TFtpCtrlSocket& client, const std::string& directory,
                      bool& allowed);
void FtpClientDisconnect(TFtpServer& sender, TFtpCtrlSocket& client, int error);
void FtpStorSessionClosed(TFtpServer& sender, TFtpCtrlSocket& client, TWSocket& data, int error);
// The allowed upload's line, logged once its file is open.
void FtpStorFileOpened(TFtpServer& sender, TFtpCtrlSocket& client);
// MFMT: a file's time may be set where it may be uploaded.
void FtpValidateMfmt(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed);
void FtpLimit(TFtpServer& sender, TFtpCtrlSocket& client, const std::string& text);

// Puts every handler above on its hook of server.
void InstallFtpSharePolicy(TFtpServer& server);
