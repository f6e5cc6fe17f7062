#include "accounts/heapcredit.h"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>

#include "tests/support/allocprobe.h"
#include "tests/support/streamcapture.h"

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
            "Owed to bank: $0.00\n");
}

TEST(OverdraftD, LendsUntilTheCreditIsUsedUp) {
  StreamCapture out;
  OverdraftD account = Tobias();
  account.Withdraw(8200);
  EXPECT_EQ(out.Take(), "Bank advance: $200.00\nFinance charge: $20.00\n");
  EXPECT_EQ(account.Balance(), 0.0);

  account.Withdraw(300);  // 280 of credit left
  EXPECT_EQ(out.Take(), kLimitExceeded);
  EXPECT_EQ(account.Balance(), 0.0);

  account.Withdraw(250);
  EXPECT_EQ(out.Take(), "Bank advance: $250.00\nFinance charge: $25.00\n");
  EXPECT_EQ(Tail(Display(account), 1), "Owed to bank: $495.00\n");

  // The last advance's charge may push the debt past the limit...
  account.Withdraw(5);
  EXPECT_EQ(out.Take(), "Bank advance: $5.00\nFinance charge: $0.50\n");
  EXPECT_EQ(Tail(Display(account), 1), "Owed to bank: $500.50\n");
  // ...and from then on every positive withdrawal is refused.
  account.Withdraw(0.01);
  EXPECT_EQ(out.Take(), kLimitExceeded);
  EXPECT_EQ(account.Balance(), 0.0);

  // A deposit raises the balance and leaves the debt alone.
  account.Deposit(10);
  EXPECT_EQ(account.Balance(), 10.0);
  EXPECT_EQ(Tail(Display(account), 2),
            "Maximum loan: $500.00\nOwed to bank: $500.50\n");
}

TEST(OverdraftD, GrantedAdvanceAlwaysCompletesAndEmptiesTheAccount) {
  // Cent amounts are not exact in binary: balance + (amount - balance) can
  // come out a hair below amount (0.63 and 1.68 do).
  StreamCapture out;
  for (int cents = 0; cents <= 200; ++cents) {
    for (int more = 1; more <= 200; ++more) {
      OverdraftD account("A", "B", 1, cents / 100.0, 500.0, 0.1);
      account.Withdraw((cents + more) / 100.0);
      const std::string said = out.Take();
      ASSERT_EQ(said.find("canceled"), std::string::npos)
          << cents << " + " << more << " cents: " << said;
      ASSERT_EQ(account.Balance(), 0.0) << cents << " + " << more << " cents";
    }
  }
}

TEST(OverdraftD, GrantsAWithdrawalThatUsesExactlyTheCreditLeft) {
  StreamCapture out;
  OverdraftD account("A", "B", 1, 100.0, 50.0, 0.5);
  account.Withdraw(100.0);  // the plain path: no advance, no output
  EXPECT_EQ(out.Take(), "");
  account.Withdraw(20.0);  // owes 30, 20 of credit left
  out.Take();
  account.Withdraw(20.0);
  EXPECT_EQ(out.Take(), "Bank advance: $20.00\nFinance charge: $10.00\n");
  EXPECT_EQ(account.Balance(), 0.0);
}

TEST(OverdraftD, WithdrawAndDisplayAddMoneyFormatToEveryFlagSetBefore) {
  StreamCapture out;
  const std::ios_base::fmtflags before =
      std::ios_base::boolalpha | std::ios_base::showpos | std::ios_base::right;
  OverdraftD account = Tobias();
  for (int call = 0; call < 3; ++call) {
    std::cout.flags(before);
    std::cout.precision(7);
    if (call == 0) account.Withdraw(1.0);
    if (call == 1) account.Withdraw(1e9);  // refused
    if (call == 2) account.ViewAcct();
    EXPECT_EQ(std::cout.flags(),
              before | std::ios_base::fixed | std::ios_base::showpoint)
        << "call " << call;
    EXPECT_EQ(std::cout.precision(), 2) << "call " << call;
  }
}

TEST(OverdraftD, BuildsFromAPlainAccountWithNothingOwed) {
  BankAccountD plain("Mirela Vont", 453216, 6000);
  OverdraftD account(plain, "cent", 500, 0.1);
  EXPECT_EQ(Display(account),
            "Client: Mirela Vont\nAccount Number: 453216\n"
            "Balance: $6000.00\nCode Name: cent\nMaximum loan: $500.00\n"
            "Owed to bank: $0.00\n");
}

TEST(OverdraftD, SelfAssignmentKeepsBothNamesAndAllocatesNothing) {
  OverdraftD account = Tobias();
  OverdraftD& alias = account;
  const long allocations = allocprobe::Allocations();
  account = alias;
  EXPECT_EQ(allocprobe::Allocations(), allocations);  // it did nothing
  EXPECT_EQ(Display(account), Display(Tobias()));
}

TEST(OverdraftD, CopiesOwnBothNamesAfterTheSourceIsGone) {
  auto source = std::make_unique<OverdraftD>(Tobias());
  {
    StreamCapture out;
    source->Withdraw(8200);  // the copies must carry the debt too
  }
  const std::string expected = Display(*source);
  const long live = allocprobe::LiveBlocks();
  OverdraftD constructed(*source);
  OverdraftD assigned;
  assigned = *source;
  EXPECT_EQ(allocprobe::LiveBlocks(), live + 4);
  source.reset();
  EXPECT_EQ(Display(constructed), expected);
  EXPECT_EQ(Display(assigned), expected);
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
  EXPECT_EQ(allocprobe::LiveBlocks(), live);
  EXPECT_EQ(allocprobe::StrayReleases(), stray);
}

TEST(OverdraftD, FailedAllocationLeavesNoLeakAndTargetUnchanged) {
  const long live = allocprobe::LiveBlocks();
  const long stray = allocprobe::StrayReleases();
  BankAccountD plain("Mirela Vont", 453216, 6000);
  OverdraftD source = Tobias();
  OverdraftD target(plain, "cent", 100, 0.2);
  const std::string before = Display(target);

  EXPECT_EQ(allocprobe::ForEachFailure([] { Tobias(); }, [] {}), 2);
  EXPECT_EQ(allocprobe::ForEachFailure([&] { OverdraftD o(plain); }, [] {}), 2);
  EXPECT_EQ(allocprobe::ForEachFailure([&] { OverdraftD o(source); }, [] {}),
            2);
  EXPECT_EQ(
      allocprobe::ForEachFailure([&] { target = source; },
                                 [&] { EXPECT_EQ(Display(target), before); }),
      2);
  EXPECT_EQ(Display(target), Display(source));

  EXPECT_EQ(allocprobe::LiveBlocks(), live + 5);
  EXPECT_EQ(allocprobe::StrayReleases(), stray);
}

}  // namespace
