// A scripted walk through the window for demonstrations: one command per line.
//   digita TEXTO       types the text into the focused control
//   tecla NOME         Enter, Escape, Backspace, Down, Up or Tab on the focused control
//   clica NOME         clicks the button (or any control) with that object name, in any window
//   janela NOME        later commands act on the window with that object name ("principal":
//                      the main window), e.g. fmVorantelixBot
//   limpa NOME         empties the edit with that object name and focuses it
//   avaliacao ID       shows the rating window for ticket ID, as the end of its session does
//   espera MS          lets the event loop run for MS milliseconds
//   captura ARQUIVO    writes a PNG of the current window (on-screen pixels when a screen is
//                      there)
//   sai                closes the window
// Lines starting with "#" and blank lines are skipped; an unknown command stops the script.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace vtx {

// Runs the script against the window; returns an error text, empty on success.
QString ExecutaRoteiro(QWidget* janela, const QStringList& linhas, const QString& pastaSaida);

}  // namespace vtx
