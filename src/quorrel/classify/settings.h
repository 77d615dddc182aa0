// Which classifier gives the second opinion, and how it is reached.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorrel {

enum class TClassifierKind { None, Bogofilter, SpamAssassin, Rspamd, Command };

struct TClassifierSettings {
  TClassifierKind Kind = TClassifierKind::None;  // --classifier, --classify-command
  std::string Command;                           // --classify-command
  std::string Db;                                // --classifier-db: bogofilter's word lists; empty: its own default
  std::string Address;                           // --classifier-address; empty: the classifier's default
  std::string Controller;                        // --classifier-controller; empty: rspamd's default
  std::optional<double> SpamScore;               // --spam-score; else the classifier's own threshold
  int Lines = 0;                                 // --classify-lines: body lines shown beside the header
  int Jobs = 4;                                  // --classify-jobs: messages classified at once
  int TimeoutMs = 30000;                         // --classify-timeout, for each message
  std::vector<std::string> LearnSpam, LearnHam;  // --learn-spam, --learn-ham

  bool On() const { return Kind != TClassifierKind::None; }
  bool Learning() const { return !LearnSpam.empty() || !LearnHam.empty(); }
  // As the user names it: "bogofilter", "spamassassin", "rspamd", "classify-command".
  std::string Name() const;
  // What decides the verdicts, for the --only-new state: a state of other
  // settings is not taken for these.
  std::vector<std::string> Fingerprint() const;
};

}  // namespace quorrel
