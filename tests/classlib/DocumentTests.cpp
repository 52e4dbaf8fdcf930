// Documents and views, driven by scripts. A script is a list of space-separated steps:
//   +A / -A   add / remove view A (removing an unknown or already removed view passes -1)
//   hN        UpdateAllViews(N)
//   [A [- [   open a batch (a scope object) with sender A, with no sender, keeping the sender
//   ] )       end the innermost batch with EndUpdate, or by leaving its scope
//   T         a change fails: an exception leaves the current scope
// A view may react to its first call by running a script of its own (T there: the view throws).
// The log records each call as the view's name and its bits, and "!" for an exception that reached
// the top of the script.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Document.h"

namespace {

class ScriptRunner {
 public:
  explicit ScriptRunner(std::map<char, std::string> reactions) : m_reactions(std::move(reactions)) {}

  void Run(const std::string& script) {
    const std::vector<std::string> steps = Split(script);
    size_t at = 0;
    while (at < steps.size()) {
      try {
        RunStatement(steps, at);
      } catch (const std::exception&) {
        Log("!");
        SkipToTopLevel(steps, at);
      }
    }
  }

  std::string LogText() const { return m_log; }

  // Live views as "A0 C2" by name, then "#n" for the table's size, free slots included.
  std::string Layout() const {
    std::string text;
    for (const auto& view : m_views) {
      if (view.second.index >= 0)
        text += std::string(1, view.first) + std::to_string(view.second.index) + " ";
    }
    return text + "#" + std::to_string(m_document.GetViews().size());
  }

  CDocument& Document() { return m_document; }

 private:
  struct View {
    ScriptRunner* runner;
    char name;
    int index;
    bool reacted;
  };

  static std::vector<std::string> Split(const std::string& script) {
    std::istringstream in(script);
    std::vector<std::string> steps;
    for (std::string step; in >> step;) steps.push_back(step);
    return steps;
  }

  static void OnHints(void* owner, CDocument*, const uint64_t* hints) {
    View* view = static_cast<View*>(owner);
    view->runner->Log(std::string(1, view->name) + std::to_string(*hints));
    if (view->reacted) return;
    view->reacted = true;
    const auto reaction = view->runner->m_reactions.find(view->name);
    if (reaction == view->runner->m_reactions.end()) return;
    const std::vector<std::string> steps = Split(reaction->second);
    size_t at = 0;
    while (at < steps.size()) view->runner->RunStatement(steps, at);
  }

  void Log(const std::string& entry) { m_log += (m_log.empty() ? "" : " ") + entry; }

  View& ViewNamed(char name) {
    auto found = m_views.find(name);
    if (found == m_views.end()) found = m_views.emplace(name, View{this, name, -1, false}).first;
    return found->second;
  }

  // Runs one step, or a whole batch from "[" to its "]" or ")".
  void RunStatement(const std::vector<std::string>& steps, size_t& at) {
    const std::string step = steps[at++];
    switch (step[0]) {
      case '+': {
        View& view = ViewNamed(step[1]);
        view.index = m_document.AddView({&view, OnHints, 0});
        break;
      }
      case '-': m_document.RemoveView(ViewNamed(step[1]).index); break;
      case 'h': m_document.UpdateAllViews(std::stoull(step.substr(1))); break;
      case 'T': throw std::runtime_error("a change failed");
      case '[': {
        if (step.size() == 1) {
          _DOC_UPDATE_INFO batch(&m_document);
          RunBatch(steps, at, batch);
        } else {
          _DOC_UPDATE_INFO batch(&m_document, step[1] == '-' ? nullptr : &ViewNamed(step[1]));
          RunBatch(steps, at, batch);
        }
        break;
      }
      default: FAIL() << "unknown step " << step;
    }
  }

  void RunBatch(const std::vector<std::string>& steps, size_t& at, _DOC_UPDATE_INFO& batch) {
    while (at < steps.size() && steps[at] != "]" && steps[at] != ")") RunStatement(steps, at);
    ASSERT_LT(at, steps.size()) << "batch not closed";
    if (steps[at++] == "]") m_document.EndUpdate(batch);
  }

  // After an exception: on past the steps of the statement that failed, to the next top-level one.
  static void SkipToTopLevel(const std::vector<std::string>& steps, size_t& at) {
    int depth = 0;
    for (size_t i = 0; i < at; ++i) {
      if (steps[i][0] == '[') ++depth;
      if (steps[i] == "]" || steps[i] == ")") --depth;
    }
    while (at < steps.size() && depth > 0) {
      if (steps[at][0] == '[') ++depth;
      if (steps[at] == "]" || steps[at] == ")") --depth;
      ++at;
    }
  }

  CDocument m_document;
  std::map<char, View> m_views;
  std::map<char, std::string> m_reactions;
  std::string m_log;
};

struct Scenario {
  const char* name;
  std::map<char, std::string> reactions;
  const char* script;
  const char* log;
  const char* layout;
  friend void PrintTo(const Scenario& row, std::ostream* out) { *out << row.name; }
};

const Scenario kScenarios[] = {
    // The view table.
    {"FreedSlotIsReused", {}, "+A +B +C -B +D", "", "A0 C2 D1 #3"},
    {"LowestFreedSlotFirst", {}, "+A +B +C -B -A +D +E +F", "", "C2 D0 E1 F3 #4"},
    {"TrailingFreeSlotsCut", {}, "+A +B +C -B -C", "", "A0 #1"},
    {"TableEmptiesWhole", {}, "+A +B -A -B +C", "", "C0 #1"},
    {"FreeSlotBeforeLiveOneStays", {}, "+A +B -A -A", "", "B1 #2"},
    // Delivery.
    {"NoDeliveryInsideBatch", {}, "+A [- h1 [- h2 ) ) h4 [- )", "A3 A4", "A0 #1"},
    {"UnionDeliveredOnce", {}, "+A +B [- h1 h2 h1 ]", "A3 B3", "A0 B1 #2"},
    {"SenderNotTold", {}, "+A +B [A h1 ]", "B1", "A0 B1 #2"},
    {"NoSenderInSameBatchTellsSender", {}, "+A +B [A h1 [- h2 ) h4 ]", "A2 B7", "A0 B1 #2"},
    {"InnerBatchKeepsSender", {}, "+A +B [A [ h1 ) h2 ]", "B3", "A0 B1 #2"},
    {"SenderRestoredAfterBatch", {}, "+A +B [A h1 ] [ h2 ]", "B1 A2 B2", "A0 B1 #2"},
    {"UnchangedBatchDeliversNothing", {}, "+A [- ]", "", "A0 #1"},
    {"NewViewMissesEarlierBits", {}, "+A [- h1 +B ]", "A1", "A0 B1 #2"},
    // Changes made by views during delivery.
    {"ChangeInDeliveryMakesSecondPass", {{'A', "h4"}}, "+A +B [- h1 ]", "A1 B5 A4", "A0 B1 #2"},
    {"SecondPassOnlyForNewBits", {{'B', "[B h4 )"}}, "+A +B +C [- h1 ]", "A1 B1 C5 A4", "A0 B1 C2 #3"},
    {"ViewAddedInDeliveryWithBitsVisited", {{'A', "+D h8"}}, "+A +B [- h1 ]", "A1 B9 D8 A8", "A0 B1 D2 #3"},
    {"ViewAddedInDeliveryWithoutBitsSkipped", {{'A', "+D"}}, "+A +B [- h1 ]", "A1 B1", "A0 B1 D2 #3"},
    {"ViewRemovedInDeliveryNotCalled", {{'A', "-B"}}, "+A +B +C [- h1 ]", "A1 C1", "A0 C2 #3"},
    {"LastViewRemovedInDelivery", {{'A', "-C"}}, "+A +B +C [- h1 ]", "A1 B1", "A0 B1 #2"},
    // Failures, each followed by a change that must be delivered.
    {"ThrowingViewReachesEndUpdate",
     {{'B', "T"}},
     "+A +B +C [- h1 ] [- h2 ]",
     "A1 B1 ! A2 B2 C3",
     "A0 B1 C2 #3"},
    {"ThrowingViewCaughtAtScopeEnd",
     {{'B', "T"}},
     "+A +B +C [- h1 ) [- h2 )",
     "A1 B1 A2 B2 C3",
     "A0 B1 C2 #3"},
    {"BitsOfFailedDeliveryKept",
     {{'A', "h2"}, {'C', "T"}},
     "+A +B +C [- h1 ] [- h4 ]",
     "A1 B3 C3 ! A6 B4 C4",
     "A0 B1 C2 #3"},
    {"FailedChangeDeliversNothing", {}, "+A +B [B h1 [- h2 T ) ) [- h4 )", "! A7 B6", "A0 B1 #2"},
    {"FailedChangeRestoresSender", {}, "+A +B [A h1 T ) [ h2 )", "! A2 B3", "A0 B1 #2"},
};

class DocumentScenarioTest : public testing::TestWithParam<Scenario> {};

TEST_P(DocumentScenarioTest, DeliversAsScripted) {
  const Scenario& scenario = GetParam();
  ScriptRunner runner(scenario.reactions);
  runner.Run(scenario.script);
  EXPECT_EQ(runner.LogText(), scenario.log);
  EXPECT_EQ(runner.Layout(), scenario.layout);
  // However the script ended, no batch is left open and no sender is left behind.
  EXPECT_EQ(runner.Document().GetDepth(), 0);
  EXPECT_EQ(runner.Document().GetSender(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, DocumentScenarioTest, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
