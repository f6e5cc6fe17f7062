#include "accounts/heapledger.h"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>

#include "tests/support/allocprobe.h"
#include "tests/support/streamcapture.h"
#include "tests/support/strongguarantee.h"

namespace {

std::string Display(const BankAccountD& account) {
  StreamCapture out;
  account.ViewAcct();
  return out.Take();
}

TEST(BankAccountD, DisplaysThreeLinesInMoneyFormat) {
  EXPECT_EQ(Display(BankAccountD("Mirela Vont", 453216, 6000)),
            "Client: Mirela Vont\nAccount Number: 453216\n"
            "Balance: $6000.00\n")
      << "the display must show name, number and balance, amounts with two "
         "decimals";
}

TEST(BankAccountD, AcceptsNegativeNumberAndEmptyName) {
  EXPECT_EQ(Display(BankAccountD("", -1, 0.5)),
            "Client: \nAccount Number: -1\nBalance: $0.50\n");
}

TEST(BankAccountD, WithdrawsUpToTheBalanceAndRefusesOneCentMore) {
  StreamCapture out;
  BankAccountD account("A", 1, 100.0);
  account.Withdraw(100.0);
  EXPECT_EQ(account.Balance(), 0.0)
      << "withdrawing exactly the balance must be granted";
  EXPECT_EQ(out.Take(), "");

  account.Withdraw(0.01);
  EXPECT_EQ(account.Balance(), 0.0)
      << "a refused withdrawal must leave the balance as it was";
  EXPECT_EQ(out.Take(),
            "Withdrawal amount of $0.01 exceeds your balance.\n"
            "Withdrawal canceled.\n");

  account.Deposit(-5.0);
  EXPECT_EQ(account.Balance(), -5.0);
  account.Withdraw(-7.0);
  EXPECT_EQ(account.Balance(), 2.0);
  EXPECT_EQ(out.Take(), "");
}

TEST(BankAccountD, RefusalUsesWhateverFormatTheStreamIsIn) {
  StreamCapture out;
  BankAccountD account("A", 1, 100.0);
  account.Withdraw(250.0);
  EXPECT_EQ(out.Take(),
            "Withdrawal amount of $250 exceeds your balance.\n"
            "Withdrawal canceled.\n");
  account.ViewAcct();
  out.Take();
  account.Withdraw(250.0);
  EXPECT_EQ(out.Take(),
            "Withdrawal amount of $250.00 exceeds your balance.\n"
            "Withdrawal canceled.\n")
      << "after a display the money format stays in force: its flags must be "
         "added to the saved ones, not overwrite them";
}

TEST(BankAccountD, DisplayAddsMoneyFormatToEveryFlagSetBefore) {
  StreamCapture out;
  const std::ios_base::fmtflags before =
      std::ios_base::boolalpha | std::ios_base::showpos |
      std::ios_base::uppercase | std::ios_base::left | std::ios_base::dec;
  std::cout.flags(before);
  std::cout.precision(9);
  BankAccountD("A", 1, 1.0).ViewAcct();
  EXPECT_EQ(std::cout.flags(),
            before | std::ios_base::fixed | std::ios_base::showpoint)
      << "the display must keep every flag the stream had and add fixed and "
         "showpoint";
  EXPECT_EQ(std::cout.precision(), 2)
      << "the display must leave the precision at 2";
}

TEST(BankAccountD, DisplayAfterScientificLeavesFixedNotHexfloat) {
  StreamCapture out;
  std::cout.flags(std::ios_base::scientific | std::ios_base::showpos);
  BankAccountD("A", 1, 1.0).ViewAcct();
  EXPECT_EQ(std::cout.flags(), std::ios_base::fixed | std::ios_base::showpos |
                                   std::ios_base::showpoint)
      << "the money format must replace the float field with fixed, not add "
         "fixed to scientific (that is hexfloat)";
  out.Take();
  std::cout << 1234.5;
  EXPECT_EQ(out.Take(), "+1234.50");
}

TEST(BankAccountD, SelfAssignmentKeepsNameAndAllocatesNothing) {
  BankAccountD account("Mirela Vont", 453216, 6000);
  BankAccountD& alias = account;
  const long allocations = allocprobe::Allocations();
  account = alias;
  EXPECT_EQ(allocprobe::Allocations(), allocations)
      << "a copy assignment of an account to itself must do nothing: check for "
         "self-assignment first";
  EXPECT_EQ(Display(account),
            "Client: Mirela Vont\nAccount Number: 453216\n"
            "Balance: $6000.00\n");
}

TEST(BankAccountD, CopiesOwnTheirNamesAfterTheSourceIsGone) {
  const std::string expected =
      "Client: Mirela Vont\nAccount Number: 453216\nBalance: $6000.00\n";
  auto source = std::make_unique<BankAccountD>("Mirela Vont", 453216, 6000);
  // Checked right after each copy, before anything is released: a copy
  // that shares its source's block allocates nothing.
  long allocations = allocprobe::Allocations();
  BankAccountD constructed(*source);
  EXPECT_EQ(allocprobe::Allocations(), allocations + 1)
      << "the copy constructor must give the copy a name block of its own: "
         "sharing the source's is a shallow copy";
  EXPECT_EQ(Display(constructed), expected)
      << "the copy constructor must copy name, number and balance";
  BankAccountD assigned("Placeholder with a long name", 7, 1);
  allocations = allocprobe::Allocations();
  assigned = *source;
  EXPECT_EQ(allocprobe::Allocations(), allocations + 1)
      << "the copy assignment must give the account a name block of its own: "
         "sharing the source's is a shallow copy";
  EXPECT_EQ(Display(assigned), expected)
      << "the copy assignment must copy name, number and balance";
  source.reset();
  EXPECT_EQ(Display(constructed), expected) << "a copy must outlive its source";
  EXPECT_EQ(Display(assigned), expected) << "a copy must outlive its source";
}

TEST(BankAccountD, ReleasesEveryBlockExactlyOnce) {
  const long live = allocprobe::LiveBlocks();
  const long stray = allocprobe::StrayReleases();
  {
    BankAccountD a("First", 1, 1);
    // A copy to release, not to change.
    // NOLINTNEXTLINE(performance-unnecessary-copy-initialization)
    BankAccountD b(a);
    BankAccountD c;
    c = a;
    c = b;
    auto* base = new BankAccountD("Heap", 2, 2);
    delete base;
  }
  EXPECT_EQ(allocprobe::LiveBlocks(), live)
      << "a name block was never released: a leak";
  EXPECT_EQ(allocprobe::StrayReleases(), stray)
      << "a name block was released twice: two accounts shared it";
}

TEST(BankAccountD, FailedAllocationLeavesNoLeakAndTargetUnchanged) {
  const long live = allocprobe::LiveBlocks();
  const long stray = allocprobe::StrayReleases();
  BankAccountD source("Tobias Quenford", 223391, 8000);
  BankAccountD target("Mirela Vont", 453216, 6000);

  int failures = allocprobe::ForEachFailure(
      [&] { BankAccountD built("Someone", 3, 3); }, [] {});
  EXPECT_EQ(failures, 1) << "the constructor must allocate one name block";
  failures =
      allocprobe::ForEachFailure([&] { return BankAccountD(source); }, [] {});
  EXPECT_EQ(failures, 1)
      << "the copy constructor must allocate its own name block: a deep copy";
  const std::string broken = allocprobe::StrongGuaranteeBroken(
      "the copy assignment", 1, [&] { target = source; },
      [&] { return Display(target); });
  EXPECT_TRUE(broken.empty()) << broken;
  EXPECT_EQ(Display(target), Display(source))
      << "the assignment must copy name, number and balance";

  EXPECT_EQ(allocprobe::LiveBlocks(), live + 2)
      << "a name block was never released: a leak";
  EXPECT_EQ(allocprobe::StrayReleases(), stray)
      << "a name block was released twice";
}

}  // namespace
