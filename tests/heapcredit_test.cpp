#include "accounts/heapcredit.h"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>

#include "tests/support/allocprobe.h"
#include "tests/support/streamcapture.h"
#include "tests/support/strongguarantee.h"

namespace {

const char kLimitExceeded[] = "Credit limit exceeded. Transaction cancelled.\n";

std::string Display(const BankAccountD& account) {
  StreamCapture out;
  account.ViewAcct();  // virtual: an overdraft shows all six lines
  return out.Take();
}

// Returns the display's last n lines.
std::string Tail(const std::string& text, int n) {
  std::string::size_type at = text.size() - 1;
  while (n-- > 0 && at != std::string::npos) at = text.rfind('\n', at - 1);
  return text.substr(at + 1);
}

OverdraftD Tobias() {
  return OverdraftD("Tobias Quenford", "Flint", 223391, 8000.0, 500.0, 0.1);
}

TEST(OverdraftD, DisplaysSixLinesThroughTheBase) {
  EXPECT_EQ(Display(Tobias()),
            "Client: Tobias Quenford\nAccount Number: 223391\n"
            "Balance: $8000.00\nCode Name: Flint\nMaximum loan: $500.00\n"
            "Owed to bank: $0.00\n")
      << "an overdraft shown through a BankAccountD reference must show all "
         "six lines: the virtual ViewAcct adds code name, loan and debt";
}

TEST(OverdraftD, LendsUntilTheCreditIsUsedUp) {
  StreamCapture out;
  OverdraftD account = Tobias();
  account.Withdraw(8200);
  EXPECT_EQ(out.Take(), "Bank advance: $200.00\nFinance charge: $20.00\n")
      << "a withdrawal beyond the balance must lend the shortfall";
  EXPECT_EQ(account.Balance(), 0.0);

  account.Withdraw(300);  // 280 of credit left
  EXPECT_EQ(out.Take(), kLimitExceeded)
      << "a withdrawal beyond the credit left must be refused";
  EXPECT_EQ(account.Balance(), 0.0);

  account.Withdraw(250);
  EXPECT_EQ(out.Take(), "Bank advance: $250.00\nFinance charge: $25.00\n")
      << "a withdrawal within the credit left must be granted";
  EXPECT_EQ(Tail(Display(account), 1), "Owed to bank: $495.00\n")
      << "the debt must grow by each advance and its finance charge";

  // The last advance's charge may push the debt past the limit...
  account.Withdraw(5);
  EXPECT_EQ(out.Take(), "Bank advance: $5.00\nFinance charge: $0.50\n")
      << "a withdrawal that uses exactly the credit left must be granted";
  EXPECT_EQ(Tail(Display(account), 1), "Owed to bank: $500.50\n");
  // ...and from then on every positive withdrawal is refused.
  account.Withdraw(0.01);
  EXPECT_EQ(out.Take(), kLimitExceeded)
      << "with no credit left every withdrawal beyond the balance is refused";
  EXPECT_EQ(account.Balance(), 0.0);

  // A deposit raises the balance and leaves the debt alone.
  account.Deposit(10);
  EXPECT_EQ(account.Balance(), 10.0);
  EXPECT_EQ(Tail(Display(account), 2),
            "Maximum loan: $500.00\nOwed to bank: $500.50\n")
      << "a deposit must leave the debt as it was";
}

TEST(OverdraftD, BuildsFromAPlainAccountWithNothingOwed) {
  BankAccountD plain("Mirela Vont", 453216, 6000);
  OverdraftD account(plain, "cent", 500, 0.1);
  EXPECT_EQ(Display(account),
            "Client: Mirela Vont\nAccount Number: 453216\n"
            "Balance: $6000.00\nCode Name: cent\nMaximum loan: $500.00\n"
            "Owed to bank: $0.00\n")
      << "built from a plain account, an overdraft must keep its name, number "
         "and balance and owe nothing";
}

TEST(OverdraftD, SelfAssignmentKeepsBothNamesAndAllocatesNothing) {
  OverdraftD account = Tobias();
  OverdraftD& alias = account;
  const long allocations = allocprobe::Allocations();
  account = alias;
  EXPECT_EQ(allocprobe::Allocations(), allocations)
      << "a copy assignment of an overdraft to itself must do nothing: check "
         "for self-assignment first";
  EXPECT_EQ(Display(account), Display(Tobias()))
      << "self-assignment lost a name: it released the block it copies from";
}

TEST(OverdraftD, CopiesOwnBothNamesAfterTheSourceIsGone) {
  // Every field differs from its default, so a field left out shows.
  auto source = std::make_unique<OverdraftD>("Tobias Quenford", "Flint", 223391,
                                             8000.0, 700.0, 0.25);
  {
    StreamCapture out;
    source->Withdraw(8200);  // the copies must carry the debt too
  }
  const std::string expected = Display(*source);
  // Checked right after each copy, before anything is released: a copy
  // that shares its source's blocks allocates fewer.
  long allocations = allocprobe::Allocations();
  OverdraftD constructed(*source);
  EXPECT_EQ(allocprobe::Allocations(), allocations + 2)
      << "the copy constructor must give the copy two blocks of its own, the "
         "client name and the code name: sharing the source's is a shallow "
         "copy";
  EXPECT_EQ(Display(constructed), expected)
      << "the copy constructor must copy the base part and every overdraft "
         "field";
  OverdraftD assigned;
  allocations = allocprobe::Allocations();
  assigned = *source;
  EXPECT_EQ(allocprobe::Allocations(), allocations + 2)
      << "the copy assignment must give the account two blocks of its own, "
         "the client name (the base part's assignment) and the code name";
  EXPECT_EQ(Display(assigned), expected)
      << "the derived assignment must assign the base part too, then every "
         "overdraft field";
  source.reset();
  for (OverdraftD* copy : {&constructed, &assigned}) {
    EXPECT_EQ(Display(*copy), expected) << "a copy must outlive its source";
    StreamCapture out;
    copy->Withdraw(100);  // all on credit, charged at the source's rate
    EXPECT_EQ(out.Take(), "Bank advance: $100.00\nFinance charge: $25.00\n")
        << "a copy must keep the source's finance charge rate";
  }
}

TEST(OverdraftD, ReleasesEveryBlockExactlyOnceAlsoThroughTheBase) {
  const long live = allocprobe::LiveBlocks();
  const long stray = allocprobe::StrayReleases();
  {
    BankAccountD plain("Plain", 1, 1);
    OverdraftD a = Tobias();
    OverdraftD b(plain);
    b = a;
    std::unique_ptr<BankAccountD> base = std::make_unique<OverdraftD>(a);
  }
  EXPECT_EQ(allocprobe::LiveBlocks(), live)
      << "a block was never released: deleted through a BankAccountD "
         "pointer, an overdraft runs its own destructor only when the base "
         "destructor is virtual";
  EXPECT_EQ(allocprobe::StrayReleases(), stray)
      << "a block was released twice: two accounts shared it";
}

TEST(OverdraftD, FailedAllocationLeavesNoLeakAndTargetUnchanged) {
  const long live = allocprobe::LiveBlocks();
  const long stray = allocprobe::StrayReleases();
  BankAccountD plain("Mirela Vont", 453216, 6000);
  OverdraftD source = Tobias();
  OverdraftD target(plain, "cent", 100, 0.2);

  int failures = allocprobe::ForEachFailure([] { Tobias(); }, [] {});
  EXPECT_EQ(failures, 2)
      << "an overdraft must allocate two blocks, the name and the code name";
  failures = allocprobe::ForEachFailure([&] { OverdraftD o(plain); }, [] {});
  EXPECT_EQ(failures, 2)
      << "an overdraft built from a plain account must allocate two blocks";
  failures =
      allocprobe::ForEachFailure([&] { return OverdraftD(source); }, [] {});
  EXPECT_EQ(failures, 2)
      << "the copy constructor must allocate two blocks: a deep copy";
  const std::string broken = allocprobe::StrongGuaranteeBroken(
      "the copy assignment", 2, [&] { target = source; },
      [&] { return Display(target); });
  EXPECT_TRUE(broken.empty()) << broken;
  EXPECT_EQ(Display(target), Display(source))
      << "the assignment must copy the base part and every overdraft field";

  EXPECT_EQ(allocprobe::LiveBlocks(), live + 5)
      << "a block was never released: a leak";
  EXPECT_EQ(allocprobe::StrayReleases(), stray) << "a block was released twice";
}

}  // namespace
