#include "reply_verdict.h"

#include "function_codes.h"
#include "output.h"

namespace corvane {

QString noResponseText(int address) {
    return QStringLiteral("No response from device ") + QString::number(address);
}

QString otherRequestText(int address) {
    return QStringLiteral("Reply from device %1 answers another request, ignored").arg(address);
}

QString lateReplyText(int address) {
    return QStringLiteral("Late reply from device %1 to an earlier request ignored").arg(address);
}

QString exceptionName(int code) {
    switch (code) {
    case ExceptionCode::IllegalFunction:
        return QStringLiteral("ILLEGAL FUNCTION");
    case ExceptionCode::IllegalDataAddress:
        return QStringLiteral("ILLEGAL DATA ADDRESS");
    case ExceptionCode::IllegalDataValue:
        return QStringLiteral("ILLEGAL DATA VALUE");
    case ExceptionCode::SlaveDeviceFailure:
        return QStringLiteral("SLAVE DEVICE FAILURE");
    case ExceptionCode::SlaveDeviceBusy:
        return QStringLiteral("SLAVE DEVICE BUSY");
    case ExceptionCode::MemoryParityError:
        return QStringLiteral("MEMORY PARITY ERROR");
    default:
        return {};
    }
}

QString exceptionText(int code) {
    const QString name = exceptionName(code);
    return name.isEmpty() ? QString() : QStringLiteral("Error - ") + name + QLatin1Char('\r');
}

namespace {

void reportNoReply(NoReplyReport how, int address, Output &out) {
    const QString text = noResponseText(address);
    switch (how) {
    case NoReplyReport::StatusAndLog:
        out.setStatus(StatusPanel::Progress, text);
        out.log(text + QLatin1Char('\r'));
        break;
    case NoReplyReport::Log:
        out.log(text);
        break;
    case NoReplyReport::LogEllipsis:
        out.log(text + QStringLiteral("..."));
        break;
    case NoReplyReport::Silent:
        break;
    }
}

} // namespace

void reportVerdict(const ReplyVerdict &verdict, const VerdictReport &how, int requestAddress,
                   int shownAddress, Output &out) {
    using Kind = ReplyVerdict::Kind;
    switch (verdict.kind) {
    case Kind::Accepted:
        break;
    case Kind::NoReply:
        reportNoReply(how.noReply, shownAddress, out);
        break;
    // Bytes in front of a good reply spoil the CRC over the whole, which is all the log tells.
    case Kind::CrcError:
    case Kind::GarbageBefore:
        out.setStatus(StatusPanel::Progress, QStringLiteral("Error in CRC field"));
        out.log(QStringLiteral("Error in CRC field\r"));
        break;
    case Kind::LeadingZero:
        if (how.reportLeadingZero)
            out.log(QStringLiteral("Garbage leading bytes in the telegram"));
        break;
    case Kind::EchoOnly:
        reportNoReply(how.noReply, shownAddress, out);
        break;
    case Kind::OtherAddress:
        out.log(QStringLiteral("Reply from device %1 ignored (request went to device %2)")
                    .arg(verdict.address)
                    .arg(requestAddress));
        reportNoReply(how.noReply, shownAddress, out);
        break;
    case Kind::Exception:
        if (const QString text = exceptionText(verdict.exceptionCode); !text.isEmpty())
            out.log(text);
        break;
    case Kind::OtherRequest: {
        const QString text = otherRequestText(requestAddress);
        out.setStatus(StatusPanel::Progress, text);
        out.log(text);
        break;
    }
    }
}

QString verdictReason(const ReplyVerdict &verdict) {
    using Kind = ReplyVerdict::Kind;
    switch (verdict.kind) {
    case Kind::Accepted:
        return {};
    case Kind::NoReply:
        return QStringLiteral("no reply");
    case Kind::CrcError:
        return QStringLiteral("CRC error");
    case Kind::LeadingZero:
        return QStringLiteral("garbage before the reply");
    case Kind::GarbageBefore:
        return QStringLiteral("garbage before the reply (%1 bytes)").arg(verdict.garbageLength);
    case Kind::OtherAddress:
        return QStringLiteral("reply from another address (%1)").arg(verdict.address);
    case Kind::EchoOnly:
        return QStringLiteral("no reply, only the echo of the request");
    case Kind::Exception:
        if (const QString name = exceptionName(verdict.exceptionCode); !name.isEmpty())
            return QStringLiteral("exception: ") + name;
        return QStringLiteral("exception code %1").arg(verdict.exceptionCode);
    case Kind::OtherRequest:
        return QStringLiteral("reply to another request");
    }
    return {};
}

} // namespace corvane
