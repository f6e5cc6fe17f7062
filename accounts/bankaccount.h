// A bank account that keeps the client's name in an array inside the object,
// so it owns nothing outside itself and copies member by member.
// Deliberately no virtual destructor: never delete one through a base
// pointer. Nothing here throws.
#ifndef ACCOUNTS_BANKACCOUNT_H_
#define ACCOUNTS_BANKACCOUNT_H_

// Virtual functions, no virtual destructor: on purpose, see above.
class BankAccount {  // NOLINT(cppcoreguidelines-virtual-class-destructor)
 public:
  // Copies the name. The limit is 34 bytes: a longer name is cut at the
  // last whole UTF-8 character that fits, so an ASCII name keeps 34.
  BankAccount(const char* s, long an, double bal);

  // Adds the amount, whatever its sign.
  void Deposit(double amt);
  // Subtracts the amount unless it exceeds the balance; then prints a
  // refusal in the stream's current format and changes nothing.
  virtual void Withdraw(double amt);
  // Returns the current balance.
  double Balance() const { return balance; }
  // Writes client, number and balance to std::cout, each line ended, in
  // the money format (fixed, showpoint, precision 2), which stays in force.
  virtual void ViewAcct() const;

 private:
  static constexpr int kNameSize = 35;  // 34 bytes and the terminator
  char fullName[kNameSize];
  long number;
  double balance;
};

#endif  // ACCOUNTS_BANKACCOUNT_H_
