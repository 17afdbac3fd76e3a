#include "ServiceStatus.h"

#include <QFontMetrics>
#include <QLabel>
#include <QList>
#include <QPointer>

#include "Memo.h"
#include "Unit1.h"

namespace {

constexpr int kLineHeight = 16;

class ServiceLines final : public QObject {
 public:
  explicit ServiceLines(TMainForm& form) : QObject(&form), form(form), memoPlace(form.MemoSysInfo->geometry()) {
    setObjectName(QStringLiteral("ServiceStatus"));
  }

  void set(const QString& service, const QString& text) {
    int at = indexOf(service);
    if (text.isEmpty()) {
      if (at < 0) return;
      delete lines[at].label;
      lines.removeAt(at);
    } else {
      if (at < 0) {
        auto* label = new QLabel(form.MemoSysInfo->parentWidget());
        label->setObjectName(QStringLiteral("LabelStatus") + service);
        lines.append({service, text, label});
        at = int(lines.size()) - 1;
      }
      lines[at].text = text;
    }
    place();
  }

  QString text(const QString& service) const {
    const int at = indexOf(service);
    return at < 0 ? QString() : lines[at].text;
  }

  TMainForm& form;

 private:
  struct Line {
    QString service;
    QString text;
    QLabel* label;
  };
  int indexOf(const QString& service) const {
    for (int i = 0; i < lines.size(); ++i) {
      if (lines[i].service == service) return i;
    }
    return -1;
  }
  void place() {
    const int n = int(lines.size());
    QRect memo = memoPlace;
    memo.setHeight(memoPlace.height() - n * kLineHeight);
    form.MemoSysInfo->setGeometry(memo);
    for (int i = 0; i < n; ++i) {
      QLabel* label = lines[i].label;
      label->setGeometry(memo.left(), memo.bottom() + 1 + i * kLineHeight, memo.width(), kLineHeight);
      const QString shown = label->fontMetrics().elidedText(lines[i].text, Qt::ElideRight, memo.width());
      label->setText(shown);
      label->setToolTip(shown == lines[i].text ? QString() : lines[i].text);
      label->setAccessibleName(lines[i].text);
      label->show();
    }
  }

  const QRect memoPlace;  // as the page has it without status lines
  QList<Line> lines;
};

QPointer<ServiceLines> theLines;

ServiceLines* linesOf(const TMainForm& form, bool make) {
  if (theLines && &theLines->form == &form) return theLines;
  if (!make) return nullptr;
  theLines = new ServiceLines(const_cast<TMainForm&>(form));
  return theLines;
}

}  // namespace

void SetServiceStatus(TMainForm& form, const QString& service, const QString& text) {
  if (ServiceLines* l = linesOf(form, !text.isEmpty())) l->set(service, text);
}

QString ServiceStatus(const TMainForm& form, const QString& service) {
  const ServiceLines* l = linesOf(form, false);
  return l ? l->text(service) : QString();
}
