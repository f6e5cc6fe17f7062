#include "accounts/bankaccount.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <new>
#include <string>

#include "tests/support/streamcapture.h"

namespace {

std::string Display(const BankAccount& account) {
  StreamCapture out;
  account.ViewAcct();
  return out.Take();
}

// Builds the account in storage full of 'Z', so a name stored without its
// terminator runs on into them instead of into a lucky zero.
template <class... Args>
std::string DisplayBuiltOnJunk(Args... args) {
  alignas(BankAccount) unsigned char storage[sizeof(BankAccount)];
  std::memset(storage, 'Z', sizeof storage);
  // It owns nothing outside itself: the storage may simply end.
  return Display(*new (storage) BankAccount(args...));
}

TEST(BankAccount, KeepsItsOwnTerminatedCopyOfTheNameCutTo34Characters) {
  char buffer[] = "Exactly thirty-four characters!!!! and more";
  BankAccount cut(buffer, 1, 2);
  buffer[34] = '\0';
  BankAccount whole(buffer, 1, 2);
  buffer[0] = 'X';  // the caller reuses its buffer
  const std::string expected =
      "Client: Exactly thirty-four characters!!!!\nAccount Number: 1\n"
      "Balance: $2.00\n";
  EXPECT_EQ(Display(cut), expected)
      << "a name longer than 34 characters must be cut to its first 34";
  EXPECT_EQ(Display(whole), expected)
      << "the account must keep its own copy of the name, not the caller's "
         "buffer";
  EXPECT_EQ(
      DisplayBuiltOnJunk("Exactly thirty-four characters!!!! more", 1, 2.0),
      expected)
      << "a cut name must end with a terminator inside the array";
  EXPECT_EQ(DisplayBuiltOnJunk("Ann", 1, 2.0),
            "Client: Ann\nAccount Number: 1\nBalance: $2.00\n")
      << "a short name must end with its terminator";
}

TEST(BankAccount, CutsALongNameBeforeACharacterItWouldSplit) {
  const std::string e_acute = "\xc3\xa9", euro = "\xe2\x82\xac";
  for (const std::string& wide : {e_acute, euro}) {
    for (std::size_t ascii = 30; ascii <= 34; ++ascii) {
      const std::string name =
          std::string(ascii, 'A').append(wide).append(wide).append("!");
      std::string kept = name.substr(0, 34);
      while (kept.size() > ascii && (kept.size() - ascii) % wide.size() != 0)
        kept.pop_back();  // only whole characters
      EXPECT_EQ(Display(BankAccount(name.c_str(), 1, 2)),
                "Client: " + kept + "\nAccount Number: 1\nBalance: $2.00\n")
          << ascii << " ASCII bytes, then " << wide.size() << "-byte ones: "
          << "the cut must not split a UTF-8 character";
    }
  }
}

TEST(BankAccount, RefusesToOverdrawAndChangesNothing) {
  StreamCapture out;
  BankAccount account("Ann", 1, 10.0);
  account.Withdraw(10.0);
  EXPECT_EQ(account.Balance(), 0.0);
  account.Withdraw(250.0);
  EXPECT_EQ(account.Balance(), 0.0)
      << "a refused withdrawal must leave the balance as it was";
  EXPECT_EQ(out.Take(),
            "Withdrawal amount of $250 exceeds your balance.\n"
            "Withdrawal canceled.\n");
  account.Deposit(5.5);
  EXPECT_EQ(account.Balance(), 5.5);
}

TEST(BankAccount, DisplayAddsMoneyFormatToEveryFlagSetBefore) {
  StreamCapture out;
  const std::ios_base::fmtflags before =
      std::ios_base::boolalpha | std::ios_base::showpos | std::ios_base::dec;
  std::cout.flags(before);
  BankAccount("Ann", -3, 1.0).ViewAcct();
  EXPECT_EQ(out.Take(), "Client: Ann\nAccount Number: -3\nBalance: $+1.00\n");
  EXPECT_EQ(std::cout.flags(),
            before | std::ios_base::fixed | std::ios_base::showpoint)
      << "the display must keep every flag the stream had and add fixed and "
         "showpoint";
  EXPECT_EQ(std::cout.precision(), 2);
}

}  // namespace
