#include "app/Headless.h"

#include <chrono>
#include <iostream>
#include <utility>

#include "app/Startup.h"
#include "catalogue/uServers.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace {

constexpr std::chrono::milliseconds kGlitchDelay{500};

// Boxes carry CR LF between their lines; a terminal wants bare line feeds. Every
// line printed shows its control bytes escaped: log lines carry client bytes as
// received, and raw they would drive the operator's terminal.
std::string WithLineFeeds(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    result += text[i];
  }
  return result;
}

}  // namespace

THeadlessUi::THeadlessUi(std::ostream& out, std::ostream& err) : out_(&out), err_(err) {}

THeadlessUi::THeadlessUi(std::unique_ptr<TOutputPipe> out, std::ostream& err)
    : pipe_(std::move(out)), err_(err) {
  pipe_->OnDrained = [this] { ReportDropped(); };
}

THeadlessUi::~THeadlessUi() {
  if (glitchTimer_) EventLoop::Instance().CancelTimer(*glitchTimer_);
  // Lines dropped at the end are counted too, behind the last ones queued; the pipe
  // waits a little for a slow reader as it goes.
  if (pipe_) ReportDropped();
}

// A blocking write to an unread standard output stops the whole program once the
// pipe is full; losing log lines, and saying so, is the lesser harm.
void THeadlessUi::AddActivityLine(const std::string& line) {
  if (!pipe_) {
    *out_ << EscapeControls(line) << std::endl;
    return;
  }
  ReportDropped();
  if (dropped_ > 0 || !pipe_->Write(EscapeControls(line) + "\n")) ++dropped_;
}

// The count goes out ahead of any later line, so the gap shows where it happened.
void THeadlessUi::ReportDropped() {
  if (dropped_ == 0) return;
  const std::string text = std::to_string(dropped_) +
                           (dropped_ == 1 ? " activity line" : " activity lines") +
                           " dropped: standard output was not being read";
  if (pipe_->Write(EscapeControls(FormatLogLine(LocalTimeNow(), text)) + "\n")) dropped_ = 0;
}

// A second call while the timer runs adds its entry, as the desktop's one-shot
// timer does.
void THeadlessUi::StartGlitchTimer(int index) {
  glitchIndexes_.insert(index);
  if (glitchTimer_) return;
  glitchTimer_ = EventLoop::Instance().AddTimer(kGlitchDelay, [this] {
    glitchTimer_.reset();
    // Harmless for an entry that has stopped meanwhile.
    for (int entry : std::exchange(glitchIndexes_, {})) UpdateServerTray(entry);
  });
}

// Activity lines wait for the end of the loop's turn; whoever reads both outputs
// must still see them in the order they happened.
void THeadlessUi::FlushActivity() {
  if (pipe_) pipe_->Flush();
}

void THeadlessUi::ShowError(const std::string& text) {
  FlushActivity();
  err_ << WithLineFeeds(text) << std::endl;
}

bool THeadlessUi::Confirm(const std::string& text) {
  FlushActivity();
  err_ << WithLineFeeds(text) << " (answered No)" << std::endl;
  return false;
}

int RunHeadless(const std::string& serversFolder) {
  IgnoreBrokenPipes();
  bool stop = false;
  // Blocked from here on: a signal during start-up ends the program once it is up.
  TTerminationSignals signals([&stop](int) { stop = true; });
  auto ui = std::make_unique<THeadlessUi>(std::make_unique<TOutputPipe>(kStandardOutput), std::cerr);
  THeadlessUi& headless = *ui;
  auto previous = SetUi(std::move(ui));

  const TStartup startup = RunStartupSequence(serversFolder);
  headless.FlushActivity();
  // On standard error: standard output carries the activity lines alone, and a
  // supervisor parsing them must not meet anything else there.
  for (const auto& line : StartupSummary(serversFolder, startup))
    std::cerr << EscapeControls(line) << std::endl;
  auto& loop = EventLoop::Instance();
  while (!stop) loop.RunOnce(-1);

  // As at any normal end: the engines go without StopServer, so every definition keeps
  // its Active flag and starts again at the next launch.
  ResetRegistry();
  SetUi(std::move(previous));
  return 0;
}
