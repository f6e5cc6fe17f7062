// Asks for three clients, opens a plain or an overdraft account for each,
// and displays them all through BankAccount pointers: the virtual ViewAcct
// shows an overdraft account's extra lines.
#include <iostream>

#include "accounts/bankaccount.h"
#include "accounts/fixedcredit.h"
#include "demos/flushstdout.h"

namespace {

constexpr int kClients = 3;
constexpr int kNameSize = 35;

// Never released: the hierarchy has no virtual destructor, so the accounts
// live until the process ends, reachable from here.
BankAccount* accounts[kClients];

// Discards input up to and including the next line end, or to the end of
// input, whichever comes first.
inline void EatLine() {
  for (int c = std::cin.get(); c != '\n' && c != EOF; c = std::cin.get()) {
  }
}

bool IsContinuation(int byte) { return byte != EOF && (byte & 0xC0) == 0x80; }

// A read that stopped inside a UTF-8 character leaves the line going on with
// one of its continuation bytes (10xxxxxx): drop its first bytes too. Walks
// back from the read's own end, count bytes in: a NUL byte read into the
// name would make strlen stop short of it.
void DropSplitCharacter(char* name, std::streamsize count) {
  if (!IsContinuation(std::cin.peek())) return;
  std::streamsize n = count;
  while (n > 0 && IsContinuation(static_cast<unsigned char>(name[n - 1]))) --n;
  if (n > 0) --n;  // its lead byte
  name[n] = '\0';
}

// Reads one name line of at most 34 bytes, cut before a character it would
// split; an empty line gives an empty name. Returns false at the end of
// input.
bool ReadName(char* name) {
  std::cout << "Enter client's name: ";
  std::cin.get(name, kNameSize);
  const std::streamsize count = std::cin.gcount();
  if (std::cin.eof() && std::cin.fail()) return false;
  std::cin.clear();  // an empty line fails the read but is an answer
  DropSplitCharacter(name, count);
  EatLine();
  return true;
}

// Asks until the answer is a number. Returns false at the end of input.
template <class Number>
bool Ask(const char* prompt, Number& value) {
  for (;;) {
    std::cout << prompt;
    if (std::cin >> value) return true;
    if (std::cin.eof()) return false;
    std::cin.clear();
    EatLine();
    std::cout << "Please enter a number.\n";
  }
}

}  // namespace

int main() {
  char name[kNameSize];
  long number;
  double balance;
  int kind;
  int opened = 0;
  while (opened < kClients && ReadName(name) &&
         Ask("Enter client's account number: ", number) &&
         Ask("Enter client's initial balance: ", balance) &&
         Ask("Enter 1 for Slate Account, 2 for Slate Plus Account: ", kind)) {
    EatLine();
    if (kind == 2) {
      accounts[opened] = new Overdraft(name, number, balance, 500.0, 0.1);
    } else {
      accounts[opened] = new BankAccount(name, number, balance);
      if (kind != 1) std::cout << "I'll interpret that as a 1.\n";
    }
    ++opened;
  }
  // The input ended in mid-dialogue: no typed line end closes the prompt.
  if (opened < kClients) std::cout << '\n';
  for (int i = 0; i < opened; ++i) {
    accounts[i]->ViewAcct();
    std::cout << std::endl;
  }
  std::cout << "Bye!\n";
  return FlushStdout("tellerdemo");
}
