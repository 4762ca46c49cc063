#include "modemsim/Exchange.h"

#include "ExchangeCore.h"
#include "ModemCore.h"
#include "modemsim/Modem.h"

namespace tarvik::modemsim {

bool ExchangeCore::Add(const std::string& number, std::weak_ptr<detail::ModemCore> modem) {
    std::lock_guard lock(mu);
    auto it = members.find(number);
    if (it != members.end() && !it->second.expired())
        return false;
    members[number] = std::move(modem);
    return true;
}

void ExchangeCore::Remove(const std::string& number, const detail::ModemCore* modem) {
    std::lock_guard lock(mu);
    auto it = members.find(number);
    if (it == members.end())
        return;
    auto current = it->second.lock();
    if (!current || current.get() == modem)
        members.erase(it);
}

std::shared_ptr<detail::ModemCore> ExchangeCore::Find(const std::string& number) {
    std::lock_guard lock(mu);
    auto it = members.find(number);
    return it == members.end() ? nullptr : it->second.lock();
}

Exchange::Exchange() : core_(std::make_shared<ExchangeCore>()) {}
Exchange::~Exchange() = default;

bool Exchange::Join(Modem& modem, const std::string& number) {
    std::string n = NormalizeNumber(number);
    if (n.empty())
        return false;
    return modem.core_->JoinExchange(core_, n);
}

}  // namespace tarvik::modemsim
