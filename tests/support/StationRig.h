#pragma once
// A station on simulated boards: one in-process simulated module per slot, each
// on its own pty with its own unique ID, a recipe for the stand-in image, a
// records store, and what the station reported, in order.
#include "sim/BoardIdentity.h"
#include "sim/Simulator.h"
#include "station/Recipe.h"
#include "station/RecordStore.h"
#include "station/Station.h"
#include "tests/support/SimFixture.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

// The unique ID of board `n` as the simulator takes it and the station records it.
inline stm32::UniqueId BoardId(int n)
{
    stm32::UniqueId id{};
    talvex::sim::ParseUniqueId(QStringLiteral("5441AB00%1").arg(n, 16, 10, QLatin1Char('0')).toStdString(), id);
    return id;
}

inline QString BoardIdText(int n)
{
    return QString::fromStdString(talvex::sim::UniqueIdText(BoardId(n)));
}

struct StationRig {
    // A slot's board: which one sits there at the start, and whether its chip
    // answers its bootloader at all.
    struct Board {
        int id = 0;
        bool bootloader = true;
        bool realistic = false;  // the bootloader at line speed, with the chip's erase and write times
    };

    QTemporaryDir dir;
    std::vector<std::unique_ptr<SimFixture>> sims;
    TRecipe recipe;
    TRecordStore store;
    std::unique_ptr<TStation> station;

    QList<TRunRecord> records;
    QList<QPair<int, TSlotEvent>> events;
    QList<QPair<bool, QString>> taking;  // takingChanged, in order

    // The recipe: the stand-in image, settings to write, and `recipeChanges` over it.
    StationRig(const std::vector<Board> &boards, const QString &imagePath, const QJsonObject &recipeChanges = {})
    {
        int com = 0;
        for (const Board &b : boards) {
            talvex::sim::SimOptions options;
            options.com = ++com;
            options.uniqueId = BoardId(b.id);
            options.bootloader = b.bootloader;
            options.realisticBoot = b.realistic;
            sims.push_back(std::make_unique<SimFixture>(options));
        }
        QFile image(imagePath);
        if (!image.open(QIODevice::ReadOnly))
            throw std::runtime_error("cannot read the stand-in image");
        const QByteArray bytes = image.readAll();
        QFile copy(dir.filePath("image.bin"));
        if (!copy.open(QIODevice::WriteOnly) || copy.write(bytes) != bytes.size())
            throw std::runtime_error("cannot copy the image");
        copy.close();
        QJsonObject r{
            {"image", "image.bin"},
            {"sha256", QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex())},
            {"settings", QJsonObject{{"station", 7}, {"can-baud", "500k"}, {"filter", "3"}, {"suppress", 20}}},
            {"label_required", false},
            {"label_pattern", "TM-[0-9]{6}"},
            {"lot", "LOT-35"}};
        for (auto it = recipeChanges.begin(); it != recipeChanges.end(); ++it)
            r[it.key()] = it.value();
        QFile file(dir.filePath("recipe.json"));
        if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(r).toJson()) < 0)
            throw std::runtime_error("cannot write the recipe");
        file.close();
        QString error;
        if (!LoadRecipe(file.fileName(), recipe, error))
            throw std::runtime_error(("recipe: " + error).toStdString());
    }

    // Opens the records at `url` (its spool in the rig's folder) and makes the station.
    bool open(const QString &url, QString &error, int retryMs = TRecordStore::kDefaultRetryMs)
    {
        store.setSpoolPath(dir.filePath("spool.sqlite"));
        store.setRetryIntervalMs(retryMs);
        if (!store.open(url, error))
            return false;
        QList<TStationPort> ports;
        for (size_t i = 0; i < sims.size(); ++i)
            ports.append({QStringLiteral("COM%1").arg(i + 1), sims[i]->sim->ttyPath()});
        station = std::make_unique<TStation>(recipe, store, ports);
        QObject::connect(station.get(), &TStation::recorded, [this](const TRunRecord &record, bool kept) {
            records << record;
            keptAll = keptAll && kept;
        });
        QObject::connect(station.get(), &TStation::slotEvent,
                         [this](int slot, TSlotEvent event) { events << qMakePair(slot, event); });
        QObject::connect(station.get(), &TStation::takingChanged,
                         [this](bool on, const QString &why) { taking << qMakePair(on, why); });
        return true;
    }

    // Every record the station reported was kept (in the database or its spool).
    bool keptAll = true;

    talvex::sim::Simulator &sim(int slot) { return *sims.at(size_t(slot - 1))->sim; }

    int eventCount(int slot, TSlotEvent event) const
    {
        return int(std::count(events.begin(), events.end(), qMakePair(slot, event)));
    }

    // The records of slot `slot`, in order.
    QList<TRunRecord> recordsOf(int slot) const
    {
        QList<TRunRecord> of;
        for (const TRunRecord &r : records)
            if (r.slot == QString::number(slot))
                of << r;
        return of;
    }
};
