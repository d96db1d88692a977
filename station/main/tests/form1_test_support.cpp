#include "main/tests/form1_test_support.hpp"

#include <QDir>
#include <QFile>
#include <QStyle>
#include <QStyleOptionButton>

namespace station::test {

void WindowTest::Begin() {
  dir_ = std::make_unique<QTemporaryDir>();
  QVERIFY(dir_->isValid());
  previousDir_ = QDir::currentPath();
  QVERIFY(QDir::setCurrent(dir_->path()));
  station::UiTexts() = station::UiTextTable{};
  systemLanguage_ = 0x0409;
  reported_.clear();
}

void WindowTest::End() {
  station::UiTexts() = station::UiTextTable{};
  QDir::setCurrent(previousDir_);
  dir_.reset();
}

void WindowTest::WriteFile(const char* name, const QByteArray& text) {
  QFile file(QDir(dir_->path()).filePath(QString::fromLatin1(name)));
  QVERIFY(file.open(QIODevice::WriteOnly));
  QCOMPARE(file.write(text), text.size());
}

std::unique_ptr<TForm1> WindowTest::ShowForm() {
  station::WindowServices services;
  services.report = [this](const QString& message) { Report(message); };
  services.systemLanguage = [language = systemLanguage_] { return language; };
  auto form = std::make_unique<TForm1>(nullptr, std::move(services));
  form->show();
  if (!QTest::qWaitForWindowExposed(form.get())) return nullptr;
  return form;
}

QStringList Items(const QComboBox* box) {
  QStringList items;
  for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
  return items;
}

void ClickRadio(QRadioButton* button) {
  QStyleOptionButton option;
  option.initFrom(button);
  const QRect indicator = button->style()->subElementRect(QStyle::SE_RadioButtonIndicator, &option, button);
  QTest::mouseClick(button, Qt::LeftButton, {}, indicator.center());
}

}  // namespace station::test
