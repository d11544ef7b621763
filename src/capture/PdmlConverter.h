#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

class PdmlTagReader;

// Turns a PDML file (tshark's XML dissection) into one table with a row per
// packet and, per protocol, one column per dissected field, written as an
// ARFF file or as a comma-separated file. Runs synchronously on the caller's
// thread and reports through debug lines and its result.
//
// Two passes over the file with a fast reader of its elements: the first
// finds the protocols, their order and their columns; the second collects
// the values and writes them in batches of 50 packets, so memory stays
// bounded by one batch.
class PdmlConverter
{
public:
    PdmlConverter();

    // Converts the file at the path made of the three parts into
    // `folder`/`outputName`.arff (arff) or .csv, where `folder` is the
    // second part. False when the input could not be opened or the output
    // could not be written (the conversion stops at the first failed write).
    // The output is written beside an old file of its name and takes its
    // place once the last batch is written: a conversion that could not
    // write leaves the old file as it was.
    bool convert(const QString& root, const QString& folder, const QString& file,
                 const QString& outputName, bool arff);

    // First pass: per protocol its distinct column names in the order first
    // met, "pidd" first; fills the protocol order, the column order of the
    // first packet's protocols and the sorted protocol list. It needs only
    // the element structure, which the tag reader gives fast.
    QHash<QString, QStringList> prepareTable(PdmlTagReader& reader);
    // Second pass over one packet; the reader stands on its start.
    void parsePacket(PdmlTagReader& reader);
    // Writes the rows collected since the last write: without `append` as
    // a new file with its header, which replaces an old one only once
    // written whole; with it appended to the file.
    bool writeOutput(const QString& folder, const QString& outputName, bool append, bool arff);
    QString writeCsvHeader();
    QString writeArffHeader();
    // One protocol's part of an output line: the values of its next row, or
    // as many empty (or missing) values when it is absent.
    QString writeRow(const QString& protocol, bool present, int rowIndex);

    // The file written to, from the folder and the name.
    static QString outputPath(const QString& folder, const QString& outputName, bool arff);

    // Per protocol, column name to values; "packet" is the presence table.
    QHash<QString, QHash<QString, QList<QVariant>>> tables;
    int packetCount = 0;
    QHash<QString, int> protocolOrder;
    QStringList protocols;
    int rowCounter = 0;
    QHash<QString, QStringList> columnOrder;

    // At most this many packets are read.
    static constexpr int PACKET_LIMIT = 100000;
    // Rows written per batch.
    static constexpr int BATCH = 50;

private:
    // The text of the rows collected since the last write (after the
    // header when `header`), in UTF-8; the row counter moves past them.
    QByteArray batchText(bool header, bool arff);
    // Reads the fields of one "proto" element (the reader stands on its
    // start) up to its end and appends their values to the protocol's
    // columns.
    void readFields(PdmlTagReader& reader, const QString& protocol,
                    QHash<QString, QList<QVariant>>* values);
    // The columns of a protocol in output order, without "pidd".
    QStringList outputColumns(const QString& protocol) const;
    void prepareOutputColumns();

    // Output columns per protocol, fixed once the first pass is done.
    QHash<QString, QStringList> columnsOut;
    // Protocols with at least one output column, in protocol order.
    QStringList written;
    // Per protocol, the next unwritten row of the batch.
    QHash<QString, int> cursors;
    bool arffOutput = false;
};
