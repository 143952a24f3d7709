#include "app/instance_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QString>

#include "runctl/single_instance.h"

namespace twf {

struct TInstanceServer::TImpl {
  QLocalServer Server;
  std::function<void()> Activate;
};

TInstanceServer::TInstanceServer(std::function<void()> activate) : FImpl(std::make_unique<TImpl>()) {
  FImpl->Activate = std::move(activate);
  const QString name = QString::fromStdString(InstanceSocketPath());
  QLocalServer::removeServer(name);
  FImpl->Server.setSocketOptions(QLocalServer::UserAccessOption);
  if (!FImpl->Server.listen(name)) return;

  TImpl* impl = FImpl.get();
  QObject::connect(&impl->Server, &QLocalServer::newConnection, &impl->Server, [impl] {
    while (QLocalSocket* s = impl->Server.nextPendingConnection()) {
      QObject::connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
      // Only this user's own starts may raise the window.
      ucred peer{};
      socklen_t len = sizeof peer;
      if (getsockopt(int(s->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 ||
          peer.uid != geteuid()) {
        s->abort();
        continue;
      }
      QObject::connect(s, &QLocalSocket::readyRead, s, [impl, s] {
        if (!s->canReadLine()) {
          if (s->bytesAvailable() > 256) s->abort();
          return;
        }
        const QByteArray line = s->readLine().trimmed();
        if (line == "activate") {
          if (impl->Activate) impl->Activate();
          s->write("ok\n");
          s->flush();
        }
        s->disconnectFromServer();
      });
    }
  });
}

TInstanceServer::~TInstanceServer() = default;

bool TInstanceServer::Listening() const { return FImpl->Server.isListening(); }

} // namespace twf
