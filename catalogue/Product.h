#pragma once
// Names and addresses the program shows to users and peers; each is used in more
// than one place and must read the same everywhere.

inline constexpr const char* kAppTitle = "Dravik Server";
inline constexpr const char* kMainWindowTitle = "Dravik Server version 1.0";
inline constexpr const char* kInstanceName = "[Dravik Server]";
// The maker's web site: the FTP greeting, the web page footer, the About page, the
// feedback call and the public address lookup all name it.
inline constexpr const char* kMakerAddress = "www.dravikserver.com";
// What --version prints after the title.
inline constexpr const char* kVersion = "1.0.0";
