// The shared part of an Exchange: the number book. Modems hold it by
// shared_ptr and it holds them by weak_ptr, so neither keeps the other alive.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace tarvik::modemsim {
namespace detail {
class ModemCore;
}

struct ExchangeCore {
    std::mutex mu;
    std::map<std::string, std::weak_ptr<detail::ModemCore>> members;

    bool Add(const std::string& number, std::weak_ptr<detail::ModemCore> modem);
    void Remove(const std::string& number, const detail::ModemCore* modem);
    std::shared_ptr<detail::ModemCore> Find(const std::string& number);
};

}  // namespace tarvik::modemsim
