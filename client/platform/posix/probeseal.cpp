// The probes of keyed servers, sealed with the relay's key (vnxhop).
#include "probe.h"

#include "hop/datagram.h"

#include <map>

namespace {
// Sender ids a probe opener remembers: a relay has one at a time, and a new
// one after each restart.
constexpr std::size_t kRelaySenders = 4;
// Keys kept: one per keyed server of the list, as long lists have.
constexpr std::size_t kMaxKeys = 16384;
}  // namespace

struct ProbeSeals::State {
    struct Pair {
        std::unique_ptr<vnxhop::Sealer> sealer;
        std::unique_ptr<vnxhop::Opener> opener;
    };
    std::map<QByteArray, Pair> byKey;

    Pair* pairFor(const QByteArray& key) {
        if (key.size() != static_cast<int>(vnxhop::kKeySize)) return nullptr;
        auto it = byKey.find(key);
        if (it != byKey.end()) return &it->second;
        if (byKey.size() >= kMaxKeys) byKey.clear();
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(key.constData());
        Pair pair;
        pair.sealer.reset(new vnxhop::Sealer(bytes, vnxhop::Direction::ToRelay));
        pair.opener.reset(new vnxhop::Opener(bytes, vnxhop::Direction::FromRelay, kRelaySenders));
        return &byKey.emplace(key, std::move(pair)).first->second;
    }
};

ProbeSeals::ProbeSeals() : state_(new State) {}
ProbeSeals::~ProbeSeals() = default;

QByteArray ProbeSeals::seal(const QByteArray& key, const QByteArray& probe) {
    State::Pair* pair = state_->pairFor(key);
    if (!pair) return QByteArray();
    QByteArray sealed(probe.size() + static_cast<int>(vnxhop::kSealOverhead), '\0');
    const std::size_t n = pair->sealer->seal(
        reinterpret_cast<const std::uint8_t*>(probe.constData()), static_cast<std::size_t>(probe.size()),
        reinterpret_cast<std::uint8_t*>(sealed.data()), static_cast<std::size_t>(sealed.size()));
    if (n == 0) return QByteArray();
    sealed.resize(static_cast<int>(n));
    return sealed;
}

bool ProbeSeals::open(const QByteArray& key, const QByteArray& sealed, QByteArray& plain) {
    State::Pair* pair = state_->pairFor(key);
    if (!pair || sealed.size() <= static_cast<int>(vnxhop::kSealOverhead)) return false;
    plain.resize(sealed.size());
    std::size_t length = 0;
    if (pair->opener->open(reinterpret_cast<const std::uint8_t*>(sealed.constData()),
                           static_cast<std::size_t>(sealed.size()), reinterpret_cast<std::uint8_t*>(plain.data()),
                           static_cast<std::size_t>(plain.size()), &length) != vnxhop::OpenResult::Ok) {
        plain.clear();
        return false;
    }
    plain.resize(static_cast<int>(length));
    return true;
}
