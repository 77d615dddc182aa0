// A classifier asked about one message at a time. One object serves one thread:
// a judge that asks several at once makes one for each.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "quorrel/classify/settings.h"
#include "quorrel/status/status.h"

namespace quorrel {

struct TClassification {
  enum TKind { Spam, Ham, Failed };
  TKind Kind = Failed;
  // Spam and ham: the verdict in the classifier's terms ("spamassassin
  // 12.3/5.0"); Failed: why there is none.
  std::string Why;
};

class TClassifier {
 public:
  virtual ~TClassifier() = default;
  // Whether it can answer at all; an Unavailable failure when it is missing or
  // not listening. Asked once, before anything is sent to the mail server.
  virtual TStatus Check() = 0;
  // Gets ready to classify (starts a process, say), before the first message
  // comes, so that the first ones need not wait for it.
  virtual void Prepare() {}
  // Message: header lines, an empty line, maybe body lines, each ended by LF.
  virtual TClassification Classify(const std::string& Message) = 0;
  // Several at once, in order; one that can take them together saves a round
  // trip for each.
  virtual std::vector<TClassification> ClassifyAll(const std::vector<const std::string*>& Messages) {
    std::vector<TClassification> Out;
    for (const std::string* Message : Messages) Out.push_back(Classify(*Message));
    return Out;
  }
  // Teaches it Message as spam or as ham.
  virtual TStatus Learn(const std::string& Message, bool Spam) = 0;
};

std::unique_ptr<TClassifier> MakeClassifier(const TClassifierSettings& Settings);

// A stored message as a classifier is to be taught it: without the line the
// recycle bin put on top, with LF line ends.
std::string AsTaught(const std::string& Stored);

// What the classifiers' replies say, read apart from the connection.
// spamd's reply head ("SPAMD/1.1 0 EX_OK", "Spam: True ; 12.3 / 5.0", ...).
TClassification ReadSpamdReply(const std::string& Head, const std::optional<double>& SpamScore);
// The JSON body of rspamd's /checkv2 reply.
TClassification ReadRspamdReply(const std::string& Body, const std::optional<double>& SpamScore);
// One line of bogofilter's bulk output ("NAME S 0.999997").
TClassification ReadBogofilterLine(const std::string& Line, const std::optional<double>& SpamScore);

}  // namespace quorrel
