#pragma once

#include <stdexcept>
#include <string>

// An error created by one of the program's own namespaces: the namespace's
// name as domain, a numeric code (-1, 416 or an HTTP status) and the message
// that people see.
class DomainError : public std::runtime_error {
  public:
    DomainError(std::string domain, long code, const std::string& message)
        : std::runtime_error(message), domain_(std::move(domain)), code_(code) {}

    const std::string& domain() const noexcept { return domain_; }
    long code() const noexcept { return code_; }

  private:
    std::string domain_;
    long code_;
};
