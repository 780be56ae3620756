#include "app/mensagens_locais.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QLocalSocket>
#include <vector>

#include "util/paths.h"

namespace vtx {

QString NomePontoLocal() {
  const QByteArray raiz = QByteArray::fromStdString(DataRoot().string());
  return QStringLiteral("vorantelix-%1-%2")
      .arg(::getuid())
      .arg(QString::fromLatin1(
          QCryptographicHash::hash(raiz, QCryptographicHash::Sha1).toHex().left(12)));
}

TMensagensLocais::TMensagensLocais(std::function<void(int)> recebe, QObject* pai)
    : QObject(pai), recebe_(std::move(recebe)) {
  connect(&servidor_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* s = servidor_.nextPendingConnection()) {
      connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
      connect(s, &QLocalSocket::readyRead, this, [this, s] {
        std::vector<int> recebidas;
        while (s->canReadLine()) {
          const QByteArray linha = s->readLine(32).trimmed();
          bool ok = false;
          const int n = linha.toInt(&ok);
          if (ok && (n == MensagemMinimiza || n == MensagemDesconecta)) recebidas.push_back(n);
        }
        if (s->bytesAvailable() > 64) s->abort();  // not a line of ours
        // The receiver may run nested event processing (ending a session does), in which this
        // socket can be closed and deleted: it acts from the event loop, after this handler.
        for (int n : recebidas)
          QMetaObject::invokeMethod(
              this, [this, n] { recebe_(n); }, Qt::QueuedConnection);
      });
    }
  });
}

bool TMensagensLocais::Escuta(const QString& nome) {
  {
    QLocalSocket outro;
    outro.connectToServer(nome);
    if (outro.waitForConnected(200)) return false;  // another program owns it
  }
  QLocalServer::removeServer(nome);
  servidor_.setSocketOptions(QLocalServer::UserAccessOption);
  return servidor_.listen(nome);
}

bool EnviaMensagemLocal(const QString& nome, int mensagem, int esperaMs) {
  QLocalSocket s;
  s.connectToServer(nome);
  if (!s.waitForConnected(esperaMs)) return false;
  s.write(QByteArray::number(mensagem) + "\n");
  const bool ok = s.waitForBytesWritten(esperaMs);
  s.disconnectFromServer();
  if (s.state() != QLocalSocket::UnconnectedState) s.waitForDisconnected(esperaMs);
  return ok;
}

}  // namespace vtx
