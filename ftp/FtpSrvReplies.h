#pragma once
// Every reply text the FTP engine sends, in one place, so that clients that match
// on exact wording (and the tests) see the same bytes wherever a reply is built.
// Texts with a conversion are FtpFormat patterns.

// Session and login.
inline constexpr const char* kDefaultBanner = "220 Ornavel FTP Server ready.";
inline constexpr const char* kCtrlDefaultBanner = "220-Ornavel FTP Server ready";
inline constexpr const char* kReplyTooManyUsers = "421 Too many users connected.";
inline constexpr const char* kReplyAddressBlocked =
    "421 Too many failed logins from your address; try again later.";
inline constexpr const char* kReplyTooManyFromAddress =
    "421 Too many connections from your address.";
inline constexpr const char* kReplyTooManyFailures = "421 Too many failed logins.";
inline constexpr const char* kReplyLoginTimeout = "421 Login timeout.";
inline constexpr const char* kReplyIdleTimeout =
    "421 Timeout (%d seconds): closing control connection.";
inline constexpr const char* kReplyNotUnderstood = "500 '%s': command not understood.";
inline constexpr const char* kReplyPasswordRequired = "331 Password required for %s.";
inline constexpr const char* kReplyUserFirst = "503 Login with USER first.";
inline constexpr const char* kReplyLoggedIn = "230 User %s logged in.";
inline constexpr const char* kReplyLoginIncorrect = "530 Login incorrect.";
inline constexpr const char* kReplyPleaseLogin = "530 Please login with USER and PASS.";
inline constexpr const char* kReplyGoodbye = "221 Goodbye.";
inline constexpr const char* kReplyCommandTooLong = "500 Command too long";

// Paths and file commands.
inline constexpr const char* kReplyCwdOk = "250 CWD command successful. \"%s\" is current directory.";
inline constexpr const char* kReplyCwdFailed = "501 CWD failed. %s";
inline constexpr const char* kMsgNoPermission = "No permission";
inline constexpr const char* kMsgNoSuchDirectory = "Directory not found";
inline constexpr const char* kReplyPwd = "257 \"%s\" is current directory.";
inline constexpr const char* kReplySyntaxError = "501 Syntax error in parameter.";
inline constexpr const char* kReplyRnfrSyntaxError = "501 Syntax error is parameter.";
inline constexpr const char* kReplyNoSuchFile = "550 '%s': no such file or directory.";
inline constexpr const char* kReplyCannotDelete = "550 Cannot delete.";
inline constexpr const char* kReplyDeleted = "250 File '%s' deleted.";
inline constexpr const char* kReplyCantDelete = "450 File '%s' can't be deleted.";
inline constexpr const char* kReplyPermissionDenied = "501 Permission Denied";
inline constexpr const char* kReplyCommandFailed = "550 Command failed: %s.";
inline constexpr const char* kMsgFileNotFound = "File not found";
inline constexpr const char* kReplySize = "213 %lld";
inline constexpr const char* kReplyCannotRnfr = "500 Cannot RNFR.";
inline constexpr const char* kReplyRnfrOk = "350 File exists, ready for destination name.";
inline constexpr const char* kReplyCannotRnto = "500 Cannot RNTO.";
inline constexpr const char* kReplyFileExists = "553 '%s': file already exists.";
inline constexpr const char* kReplyRenamed = "250 File '%s' renamed to '%s'.";
inline constexpr const char* kReplyCantRename = "450 File '%s' can't be renamed.";
inline constexpr const char* kReplyCantCreateDir = "550 '%s': can't create directory.";
inline constexpr const char* kReplyDirExists = "550 '%s': file or directory already exists.";
inline constexpr const char* kReplyDirCreated = "257 '%s': directory created.";
inline constexpr const char* kReplyCannotRmd = "500 Cannot remove directory.";
inline constexpr const char* kReplyDirRemoved = "250 '%s': directory removed.";
inline constexpr const char* kReplyCantRemoveDir = "550 '%s': can't remove directory.";
inline constexpr const char* kReplyNoSuchDir = "550 '%s': no such directory.";
inline constexpr const char* kReplyMdtmSyntax = "501 Syntax error in MDTM parameter.";
inline constexpr const char* kReplyMdtm = "213 %s";
inline constexpr const char* kReplyTypeOk = "200 Type set to %s.";
inline constexpr const char* kReplyTypeBad = "500 'TYPE %s': command not understood.";
inline constexpr const char* kReplyModeMissing = "501 Missing argument for MODE";
inline constexpr const char* kReplyModeOk = "200 MODE Ok";
inline constexpr const char* kReplyModeBad = "502 MODE other than S not supported";
inline constexpr const char* kReplyStru = "200 Ok. STRU parameter '%s' ignored.";
inline constexpr const char* kReplyNoop = "200 Ok. Parameter was '%s'.";
inline constexpr const char* kReplySyst = "215 UNIX Type: L8 Ornavel";
// Clients choose their behaviour from this list, so it names everything the server
// does: REST STREAM because REST works (RFC 3659 section 5.5), TVFS because the
// paths are one tree with "/" between names (without it some clients walk every
// path from "/", where nothing is shared).
inline constexpr const char* kReplyFeat =
    "211-Extensions supported:\r\n  SIZE\r\n  MDTM\r\n  REST STREAM\r\n  TVFS\r\n  EPSV\r\n"
    "  EPRT\r\n  MLST type*;size*;modify*;perm*;\r\n  MFMT\r\n  UTF8\r\n211 END";
// Explicit TLS (RFC 4217): listed by FEAT only where a certificate is loaded.
inline constexpr const char* kFeatTlsLines = "  AUTH TLS\r\n  PBSZ\r\n  PROT\r\n";
inline constexpr const char* kReplyAuthTls = "234 AUTH TLS successful.";
inline constexpr const char* kReplyAuthUnavailable = "431 TLS is not available on this server.";
inline constexpr const char* kReplyAuthUnknown = "504 AUTH %s not supported.";
inline constexpr const char* kReplyAuthAgain = "503 TLS is already on.";
inline constexpr const char* kReplyTlsFirst = "503 %s needs AUTH TLS first.";
inline constexpr const char* kReplyPbsz = "200 PBSZ=0";
inline constexpr const char* kReplyProtPrivate = "200 PROT now Private.";
inline constexpr const char* kReplyProtClearRefused =
    "534 PROT C refused: this server requires encrypted data connections.";
inline constexpr const char* kReplyProtRequired =
    "521 Data connection cannot be opened with this PROT setting.";
inline constexpr const char* kReplyProtClear = "200 PROT now Clear.";
inline constexpr const char* kReplyProtUnsupported = "536 PROT %s not supported.";
inline constexpr const char* kReplyProtUnknown = "504 PROT %s unknown.";
inline constexpr const char* kReplyCccRefused = "534 The control connection stays encrypted.";
inline constexpr const char* kReplyTlsRequired = "530 This server requires TLS.";
inline constexpr const char* kMsgDataTlsFailed = "TLS on the data connection failed: %s";
inline constexpr const char* kMsgDataTlsNotResumed =
    "Data connection does not resume the control connection's TLS session";
inline constexpr const char* kReplyUtf8On = "200 Always in UTF8 mode.";
inline constexpr const char* kReplyOptsBad = "501 Option not understood.";
inline constexpr const char* kReplyMfmt = "213 Modify=%s; %s";
inline constexpr const char* kReplyMfmtSyntax = "501 Syntax error in MFMT parameter.";
inline constexpr const char* kReplyMfmtRefused = "550 '%s': cannot set the time.";
inline constexpr const char* kReplyMlstStart = "250-Listing %s";
inline constexpr const char* kReplyMlstEnd = "250 End";

// Data connections and transfers.
inline constexpr const char* kReplyPortOk = "200 Port command successful.";
inline constexpr const char* kReplyPortBad = "501 Invalid PORT command.";
inline constexpr const char* kReplyEprtOk = "200 EPRT command successful.";
inline constexpr const char* kReplyEprtBad = "501 Invalid EPRT command.";
inline constexpr const char* kReplyNetProtoBad = "522 Network protocol not supported, use (1)";
inline constexpr const char* kReplyEpsv = "229 Entering Extended Passive Mode (|||%d|)";
inline constexpr const char* kReplyEpsvAll = "200 EPSV ALL command successful.";
inline constexpr const char* kReplyEpsvAllOnly = "503 Only EPSV may set up data connections now.";
inline constexpr const char* kReplyOpeningMlsd = "150 Opening data connection for MLSD.";
inline constexpr const char* kReplyPasvFailed = "500 PASV exception: '%s'.";
inline constexpr const char* kMsgNoPasvPorts = "No available PASV Ports";
inline constexpr const char* kMsgBadPasvIp = "Invalid PASV IP Address";
inline constexpr const char* kReplyOpening = "150 Opening data connection for %s.";
inline constexpr const char* kReplyCannotStor = "501 Cannot STOR. %s";
inline constexpr const char* kReplyCannotAppe = "500 Cannot APPE.";
inline constexpr const char* kReplyAppeOpening =
    "150 APPE supported.  Ready to append file \"%s\" at offset %lld.";
inline constexpr const char* kReplyAppeFailed = "550 APPE failed.";
inline constexpr const char* kReplyCannotStou = "501 Cannot STOU. %s";
inline constexpr const char* kReplyCannotRetrRefused = "500 Cannot RETR.";
inline constexpr const char* kReplyCannotRetr = "501 Cannot RETR. %s";
inline constexpr const char* kReplyOpeningList = "150 Opening data connection for directory list.";
inline constexpr const char* kReplyListFailed = "451 Failed: %s.";
inline constexpr const char* kReplyListRefused = "550 Failed: %s.";
inline constexpr const char* kReplyMlsdNotFolder = "501 '%s' is not a folder.";
inline constexpr const char* kReplyMlsdNoFolder = "550 '%s': no such folder.";
inline constexpr const char* kReplyClosedBecause = "426 Connection closed; %s.";
inline constexpr const char* kMsgRestartBeyondEnd = "Restart offset beyond end of file";
inline constexpr const char* kMsgDataTimeout = "Data connection timeout (%d seconds)";
inline constexpr const char* kReplyClosedError = "426 Connection closed; transfer aborted. Error #%d";
inline constexpr const char* kReplyReceivedOk = "226 File received ok";
inline constexpr const char* kReplyStouCreated = "250 '%s': file created.";
inline constexpr const char* kReplySentOk = "226 File sent ok";
inline constexpr const char* kReplyRestOk = "350 REST supported. Ready to resume at byte offset %lld.";
inline constexpr const char* kReplyRestNegative = "501 Required byte offset parameter bad or missing.";
inline constexpr const char* kReplyRestSyntax = "501 Syntax error in parameter: %s.";
inline constexpr const char* kMsgNotAnInteger = "'%s' is not a valid integer value";
inline constexpr const char* kReplyAborOk = "225 ABOR command successful.";
inline constexpr const char* kMsgAbortRequested = "ABORT requested by client";
inline constexpr const char* kMsgDataReplaced = "Transfer aborted: a new data connection was requested";
inline constexpr const char* kMsgTlsCutShort = "the data connection ended without TLS close_notify";
inline constexpr const char* kMsgClientGone = "the client left before the upload was confirmed";
inline constexpr const char* kMsgTransferOk = "Transfer Ok";
inline constexpr const char* kMsgDataConnectError = "Client data socket connection error: %d";
inline constexpr const char* kMsgSendError = "Send: error #%d";
inline constexpr const char* kMsgErrorNumber = "Error #%d";
inline constexpr const char* kMsgTransferAborted = "transfer aborted";

// Activity log texts of refusals that have no limit text of their own; each follows
// "Deny: " on the line.
inline constexpr const char* kMsgTooManyUsers = "Too many users connected (limit %d)";
inline constexpr const char* kMsgLoginInClear = "Login in clear; this server requires TLS";
inline constexpr const char* kMsgProtClearRefused =
    "PROT C; this server requires encrypted data connections";
inline constexpr const char* kMsgDataInClear =
    "%s over a clear data connection; this server requires encrypted data connections";
