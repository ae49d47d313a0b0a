#pragma once
// Where the FTP engine meets the registry: the maker that turns a type 0
// definition into a configured TFtpServer.

// Registers the FTP engine maker (type 0) with the registry.
void RegisterFtpEngine();
