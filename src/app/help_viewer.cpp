#include "app/help_viewer.h"

#include <QFile>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace tarvo {

HelpViewer::HelpViewer(QWidget* parent) : QDialog(parent), m_browser(new QTextBrowser(this)) {
    setObjectName(QStringLiteral("HelpViewer"));
    setWindowTitle(QStringLiteral("Tarvo Help"));
    setModal(false);
    resize(640, 560);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    m_browser->setObjectName(QStringLiteral("helpText"));
    m_browser->setOpenLinks(true);
    m_browser->setSearchPaths({QStringLiteral(":/help")});
}

QString HelpViewer::topicFor(const QString& objectName) {
    QString topic;
    for (qsizetype i = 0; i < objectName.size(); ++i) {
        const QChar c = objectName[i];
        if (c.isUpper() && i > 0)
            topic += QLatin1Char('_');
        topic += c.toLower();
    }
    return topic;
}

bool HelpViewer::hasTopic(const QString& topic) {
    return QFile::exists(QStringLiteral(":/help/%1.html").arg(topic));
}

void HelpViewer::showTopic(const QString& topic) {
    const QString page = hasTopic(topic) ? topic : QStringLiteral("index");
    m_browser->setSource(QUrl(QStringLiteral("qrc:/help/%1.html").arg(page)));
    show();
    raise();
    activateWindow();
}

QString HelpViewer::currentTopic() const {
    return m_browser->source().fileName().chopped(5); // drop ".html"
}

} // namespace tarvo
