#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>

namespace corvane {

class TSerCustomComm;

// Property integer types: 32-bit, non-negative (setters clamp negative values to 0).
using TSerIntW = std::int32_t;
using TSerPortInt = std::int32_t;

// The ordinal order of every enumeration below is fixed: the line-settings tables index by it.
enum TSerBaudrate {
    brUser,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};

enum TSerParity { paNone, paOdd, paEven, paMark, paSpace };
enum TSerDatabits { db4, db5, db6, db7, db8 };
enum TSerStopbits { sb1, sb15, sb2 };
enum TSerControlDtr { dtrDisabled, dtrEnabled, dtrHandshake };
enum TSerControlRts { rtsDisabled, rtsEnabled, rtsHandshake, rtsToggle };
// Who turns an RS-485 transceiver round between sending and listening: the component, by
// raising RTS around each frame; the serial driver, in its RS-485 mode; or the adapter itself.
enum TSerDirection { sdKeyedRts, sdDriverRs485, sdAdapter };
enum TSerCommOption { coErrorChar, coNullStrip, coParityCheck };

enum TSerCommEvent {
    ceBreak,
    ceCts,
    ceDsr,
    ceError,
    ceRing,
    ceRlsd,
    ceRxChar,
    ceTxEmpty,
    ceRxFlag,
    cePErr,
    ceRx80Full,
    ceEvent1,
    ceEvent2
};

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// A small set over an enumeration, one bit per ordinal, like a Pascal set.
template <typename E, typename Bits> class SerSet {
public:
    constexpr SerSet() = default;
    constexpr SerSet(std::initializer_list<E> members) {
        for (E member : members)
            m_bits = Bits(m_bits | bit(member));
    }
    static constexpr SerSet fromBits(Bits bits) {
        SerSet set;
        set.m_bits = bits;
        return set;
    }

    constexpr bool contains(E member) const { return (m_bits & bit(member)) != 0; }
    constexpr bool isEmpty() const { return m_bits == 0; }
    constexpr Bits bits() const { return m_bits; }
    constexpr SerSet &operator<<(E member) {
        m_bits = Bits(m_bits | bit(member));
        return *this;
    }
    constexpr SerSet &remove(E member) {
        m_bits = Bits(m_bits & ~bit(member));
        return *this;
    }
    friend constexpr bool operator==(SerSet, SerSet) = default;

private:
    static constexpr Bits bit(E member) { return Bits(Bits(1) << unsigned(member)); }
    Bits m_bits = 0;
};

using TSerCommOptions = SerSet<TSerCommOption, std::uint8_t>;
using TSerCommEvents = SerSet<TSerCommEvent, std::uint16_t>;

// Line events as the OS reports them; also what DispatchEvents takes.
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_RXFLAG = 0x0002;
inline constexpr std::uint32_t EV_TXEMPTY = 0x0004;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;
inline constexpr std::uint32_t EV_PERR = 0x0200;
inline constexpr std::uint32_t EV_RX80FULL = 0x0400;
inline constexpr std::uint32_t EV_EVENT1 = 0x0800;
inline constexpr std::uint32_t EV_EVENT2 = 0x1000;

// Line error flags, as the status query reports them and OnError receives them.
inline constexpr std::uint32_t CE_RXOVER = 0x0001;
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;
inline constexpr std::uint32_t CE_FRAME = 0x0008;
inline constexpr std::uint32_t CE_BREAK = 0x0010;
// A queued write failed; its bytes were dropped.
inline constexpr std::uint32_t CE_IOE = 0x0400;
// Our own flag, above every flag a driver reports: the device went away (adapter pulled out,
// other side of a pseudo-terminal closed). OnError hears it once; the event thread has stopped
// waiting on the device by then, and the port should be closed.
inline constexpr std::uint32_t kSerDeviceLost = 0x00010000;

// The OS flag of each TSerCommEvent, indexed by ordinal.
inline constexpr std::uint32_t kSerEventFlags[] = {
    EV_BREAK,   EV_CTS,    EV_DSR,  EV_ERR,      EV_RING,   EV_RLSD,  EV_RXCHAR,
    EV_TXEMPTY, EV_RXFLAG, EV_PERR, EV_RX80FULL, EV_EVENT1, EV_EVENT2};

using TSerNotifyEvent = std::function<void(TSerCustomComm *Sender)>;
using TSerCommRxCharEvent = std::function<void(TSerCustomComm *Sender, int Count)>;
using TSerCommErrorEvent = std::function<void(TSerCustomComm *Sender, int Errors)>;

} // namespace corvane
