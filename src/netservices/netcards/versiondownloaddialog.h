#pragma once

#include <QDialog>
#include <QList>
#include <QNetworkAccessManager>
#include <QSet>
#include <QStringList>

class QAbstractButton;
class QButtonGroup;
class QDomElement;
class QPushButton;
class QScrollArea;
class QScrollBar;

// The packages of one listing directory: names and, at the same positions, their download
// addresses (the listing's own address + the percent-encoded name).
struct stu_packageInfos {
    QStringList names;
    QStringList urls;
    QString directory;   // the column's title; empty for the root listing
};

// The update dialog's own message box: mode 0 no button (progress note), 1 Confirm (accepts),
// 2 YES (accepts) and NO (rejects). It keeps its place and size whenever it is shown.
class v_SelectBox : public QDialog {
    Q_OBJECT
public:
    v_SelectBox(int x, int y, QWidget* parent, int mode);

    void setText(const QString& text);
    QString text() const { return m_text; }
    int mode() const { return m_mode; }

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QRect m_geometry;
    QString m_text;
    int m_mode;
};

// The on-line update screen: walks the update server's directory listing under "/monitor/",
// shows the product line's packages ("V17..." / "v17...") as buttons, one column per listing
// that holds packages, seven a page, and downloads the chosen one next to the program as
// "newupdate" + its archive suffix, after a backup archive of the program folder. Three columns
// fit the screen and more scroll sideways; every column pages; a name too long for its button
// takes two lines, where only what the column's names share is cut, so the versions of one
// program stay told apart; the confirmation names it whole.
//
// GUI thread only, but for the backup archive, made on a pool thread behind a wait dialog. Every
// request waits in a nested event loop (the screen and the detection cycle go on); the
// walk is bounded (each address once, at most kMaxRequests, listings up to kMaxListingBytes), so
// a server that lists itself or never answers cannot hold the panel; at most kMaxPackages buttons
// are made. Files are written whole or not at all (writeFileAtomically); the old package and older
// backups go only after the new ones are safely there.
class VersionDownloadDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = 10440;
    static constexpr int kPageSize = 7;
    static constexpr int kMaxRequests = 32;
    static constexpr qint64 kMaxListingBytes = 1024 * 1024;
    // Package buttons of all columns together: a listing could name hundreds of thousands.
    static constexpr int kMaxPackages = 512;
    // A longer name is no file a server keeps (no file system takes it), and fitting it on a
    // button would hold the screen for as long as the name is long.
    static constexpr int kMaxNameLength = 255;
    static constexpr int kListingWaitMs = 1000;
    static constexpr int kTransferTimeoutMs = 3000;
    static constexpr int kDownloadWaitMs = 30000;
    static constexpr int kBackupTimeoutMs = 600000;

    explicit VersionDownloadDialog(const QString& server, quint16 port = kDefaultPort, QWidget* parent = nullptr);

    // Set once a listing has been read, the root listing first; a later request not answered in
    // time clears it, and one read after that sets it again. A root listing that is refused or
    // answered with an error leaves it clear: the settings page opens the screen only when it is
    // set and otherwise says the network cannot be reached.
    bool isReachable() const { return m_reachable; }

    void getNodeInfos(const QString& url, const QString& directory = QString());
    bool analysisdata(const QString& text);
    void parseTrxMembers(const QDomElement& root);

    // Downloads the package of the given column and position; true when it is stored.
    bool downloadPackage(int column, int id);
    // Archives the program folder beside it; true when tar succeeded and the archive is there.
    // Off the panel without MOULD_ROOT there is none: beside the working directory is not ours.
    // Touches no member, so the download runs it on a pool thread.
    bool backUpPackage(QString* archiveName = nullptr);
    // Removes earlier backup archives but the one named keep.
    void deleteBackupFile(const QString& keep);
    // Removes earlier downloaded packages but the one named keep.
    void deleteFile(const QString& keep);
    // The archive suffix of a package name, from its end: ".tar.gz", ".gz", ".tar" or ".rar".
    static QString archiveSuffix(const QString& name);

    using QDialog::show;
    void show(int column);
    void vhide(int column);
    void setEnable(bool enable);

    const QList<stu_packageInfos>& packageList() const { return m_packages; }
    QStringList directoryNames() const { return m_dirNames; }
    QButtonGroup* packageGroup(int column) const;
    QAbstractButton* lastPageButton(int column) const;
    QAbstractButton* nextPageButton(int column) const;
    QAbstractButton* exitButton() const;
    int currentPage(int column) const;
    int requestCount() const { return m_requested.size(); }

public slots:
    void slotToLastPage(int column);
    void slotToNextPage(int column);
    void acceptDialog();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void onPackageClicked(int column, int id);
    QString listingAddress(const QString& directory) const;
    // True when the walk may still request this listing (not read yet, within kMaxRequests).
    bool mayRequest(const QString& url) const;
    int packageCount() const;

    bool m_reachable = false;
    QString m_baseUrl;
    QList<QButtonGroup*> m_groups;
    QStringList m_titles;
    QList<int> m_pages;
    QList<int> m_pageCounts;
    QStringList m_dirNames;
    QList<stu_packageInfos> m_packages;
    QButtonGroup* m_lastPageGroup = nullptr;
    QButtonGroup* m_nextPageGroup = nullptr;
    QPushButton* m_exit = nullptr;
    // The columns (titles, package and paging buttons), a third of the screen wide each, in an
    // area that scrolls sideways when there are more than three.
    QScrollArea* m_area = nullptr;
    QWidget* m_columns = nullptr;
    // The sideways bar, under the title, of more than three columns (none otherwise).
    QScrollBar* m_bar = nullptr;

    QNetworkAccessManager m_network;
    QSet<QString> m_requested;
    // The listing being parsed (saved and restored around the walk into a subdirectory).
    QString m_listingUrl;
    QString m_listingDir;
};
