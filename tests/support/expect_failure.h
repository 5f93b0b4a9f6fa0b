// Checks that a call fails the way the library reports failures: a
// tomio::Failure of the given kind whose detail contains a text.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/failure.h"

namespace testrun {

inline const char* kind_text(tomio::FailureKind kind) {
  switch (kind) {
    case tomio::FailureKind::input: return "input";
    case tomio::FailureKind::output: return "output";
    case tomio::FailureKind::usage: return "usage";
    case tomio::FailureKind::run: return "run";
  }
  return "?";
}

template <class Call>
::testing::AssertionResult fails_with(tomio::FailureKind kind, const std::string& text, Call&& call) {
  try {
    call();
  } catch (const tomio::Failure& f) {
    if (f.kind() != kind) {
      return ::testing::AssertionFailure() << "a " << kind_text(f.kind()) << " failure (\""
                                           << f.detail() << "\"), expected " << kind_text(kind);
    }
    if (f.detail().find(text) == std::string::npos) {
      return ::testing::AssertionFailure() << "detail \"" << f.detail() << "\" lacks \"" << text << "\"";
    }
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "no failure";
}

}  // namespace testrun
