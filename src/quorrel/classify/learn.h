// Teaching a classifier from stored messages: files, or folders of them (a
// Maildir's cur/ and new/ too), such as the recycle bin. The files stay where
// they are; no mail server is contacted.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "quorrel/classify/settings.h"
#include "quorrel/status/status.h"

namespace quorrel {

struct TLearnt {
  int32_t Spam = 0, Ham = 0;  // messages taught
  TStatus First;              // the first failure; each is also said on Complain
};

TLearnt LearnMessages(const TClassifierSettings& Settings, const std::function<void(const std::string&)>& Complain);

}  // namespace quorrel
