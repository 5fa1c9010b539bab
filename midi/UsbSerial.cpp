#include "midi/UsbSerial.h"

#include <QFile>
#include <QRegularExpression>

#ifdef CORVANE_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

namespace UsbSerial
{

QString Of(const QString &service, const QString &portName)
{
#ifdef CORVANE_HAVE_ALSA
    if (service.compare(QLatin1String("alsa"), Qt::CaseInsensitive) != 0)
        return QString();
    const QRegularExpressionMatch address =
        QRegularExpression(QStringLiteral(" ([0-9]+):[0-9]+$")).match(portName);
    snd_seq_t *seq = nullptr;
    if (!address.hasMatch() || snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, 0) < 0)
        return QString();
    snd_seq_client_info_t *info;
    snd_seq_client_info_alloca(&info);
    const int card = snd_seq_get_any_client_info(seq, address.captured(1).toInt(), info) == 0
                         ? snd_seq_client_info_get_card(info)
                         : -1;
    snd_seq_close(seq);
    if (card < 0)
        return QString();
    // The card's device is the USB interface; the USB device above it has the serial.
    QFile serial(QStringLiteral("/sys/class/sound/card%1/device/../serial").arg(card));
    if (!serial.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(serial.readAll()).trimmed();
#else
    (void)service;
    (void)portName;
    return QString();
#endif
}

} // namespace UsbSerial
