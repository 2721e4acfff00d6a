// Server discovery: a query by multicast and by repeated broadcast, answers collected for five
// seconds, each distinct answer reported once to the page.
#include "bridgelog.h"
#include "js.h"

#include "pagescript.h"

#include "kvt_discovery.h"

#include <QDebug>
#include <QNetworkDatagram>
#include <QUdpSocket>

namespace {

const QByteArray kQuery(kvt::kvtDiscoveryQuery);
const char *const kGroup = kvt::kvtDiscoveryGroup;
constexpr quint16 kMulticastPort = kvt::kvtDiscoveryMulticastPort;
constexpr quint16 kBroadcastPort = kvt::kvtDiscoveryBroadcastPort;
constexpr int kSearchMs = 5000;
constexpr int kResendMs = 1000;
// A UDP datagram cannot be larger; anything above is not read.
constexpr qint64 kMaxDatagram = 65536;
// What one search keeps: anything on the network can answer, as often and as long as it likes.
constexpr int kMaxAnswers = 256;
constexpr int kMaxAnswerBytes = 1024;

// IPv4 senders as plain dotted text (a dual-stack socket reports them IPv4-mapped), ready to
// be handed back to VYXConnect.
QString addressText(const QHostAddress &address) {
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    return isIpv4 ? QHostAddress(ipv4).toString() : address.toString();
}

} // namespace

void JS::discover(QString cb) {
    qCDebug(lcDiscovery) << "Stop search";
    if (stopTimer->isActive())
        stopSearch();
    closeDiscoverySockets();

    groupAddress = QHostAddress(QLatin1String(kGroup));
    listenSocket = new QUdpSocket(this);
    // Shared, so that another program on this machine (a second manager) may listen to the
    // group as well; on Linux the platform default would take the port exclusively.
    listenSocket->bind(QHostAddress::AnyIPv4, kMulticastPort,
                       QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint);
    listenSocket->joinMulticastGroup(groupAddress);
    connect(listenSocket, &QUdpSocket::readyRead, this, &JS::processPendingDatagrams);

    discoveryCallback = cb;

    queryAddress = QHostAddress(QLatin1String(kGroup));
    querySocket = new QUdpSocket(this);
    querySocket->setSocketOption(QAbstractSocket::MulticastTtlOption, 5);

    broadcastSocket = new QUdpSocket(this);
    connect(broadcastSocket, &QUdpSocket::readyRead, this, &JS::readPendingDatagrams);

    // Servers answer the sender of the multicast query by unicast, to the port this socket sent
    // from: it stays open, and is read, until the search ends.
    connect(querySocket, &QUdpSocket::readyRead, this, [this] { readDiscoveryAnswers(querySocket); });
    sendDatagram();

    disconnect(stopTimer, &QTimer::timeout, this, &JS::stopSearch);
    connect(stopTimer, &QTimer::timeout, this, &JS::stopSearch);
    stopTimer->start(kSearchMs);

    resendTimer->setInterval(kResendMs);
    connect(resendTimer, &QTimer::timeout, this, &JS::resendBroadcastSearch, Qt::UniqueConnection);
    resendTimer->start();
}

void JS::sendDatagram() {
    qCDebug(lcDiscovery) << "Send datagram";
    if (querySocket)
        querySocket->writeDatagram(kQuery, queryAddress, kMulticastPort);
    foundList.clear();
    foundSet.clear();
}

void JS::resendBroadcastSearch() {
    if (broadcastSocket)
        broadcastSocket->writeDatagram(kQuery, QHostAddress::Broadcast, kBroadcastPort);
}

void JS::processPendingDatagrams() {
    readDiscoveryAnswers(listenSocket);
}

void JS::readPendingDatagrams() {
    readDiscoveryAnswers(broadcastSocket);
}

void JS::readDiscoveryAnswers(QUdpSocket *socket) {
    while (socket && socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram(kMaxDatagram);
        const QString sender = addressText(datagram.senderAddress());
        const QByteArray data = datagram.data();
        qCDebug(lcDiscovery) << sender;
        qCDebug(lcDiscovery) << tr("Received datagram: \"%1\"").arg(QString::fromLatin1(data));

        const QString text = PageScript::discoveryAnswer(data.left(kMaxAnswerBytes));
        if (text.isEmpty() || foundSet.contains(text))
            continue;
        if (foundList.size() >= kMaxAnswers) {
            qCDebug(lcDiscovery) << "answer dropped: this search already has" << kMaxAnswers;
            continue;
        }
        foundList.append(text);
        foundSet.insert(text);
        queueScript(PageScript::discoveryCall(discoveryCallback, sender, text));
        qCDebug(lcDiscovery) << "trovato " + sender + " " + text;
    }
}

void JS::stopSearch() {
    qCDebug(lcDiscovery) << "Stop search";
    if (!stopTimer || !stopTimer->isActive())
        return;
    stopTimer->stop();
    resendTimer->stop();
    closeDiscoverySockets();
}

void JS::closeDiscoverySockets() {
    // Closing alone would leave the old sockets alive until the bridge goes; they are not
    // used again, so they are released.
    for (QPointer<QUdpSocket> *socket : {&listenSocket, &querySocket, &broadcastSocket}) {
        if (*socket) {
            (*socket)->close();
            (*socket)->deleteLater();
        }
        *socket = nullptr;
    }
}
