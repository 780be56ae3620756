// Opening addresses with the desktop's default handler (browser, document viewer), behind an
// interface so that tests can record what would be opened.
#pragma once

#include <QString>

namespace vtx {

class TAbreLinks {
 public:
  virtual ~TAbreLinks() = default;
  virtual void Abre(const QString& endereco) = 0;
};

class TAbreLinksQt : public TAbreLinks {
 public:
  void Abre(const QString& endereco) override;
};

}  // namespace vtx
