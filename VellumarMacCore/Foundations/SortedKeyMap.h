// A map from text keys to values kept as one vector sorted byte-wise by key: a JSON object is read
// far more often than it is changed, and one block of members costs one allocation where a tree
// costs one per member. Its interface is the part of std::map's that the system uses.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vellumar {

template <typename Value> class SortedKeyMap {
public:
    using key_type = std::string;
    using mapped_type = Value;
    using value_type = std::pair<std::string, Value>;
    using size_type = std::size_t;
    using iterator = typename std::vector<value_type>::iterator;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    // Which of the members with the same key a map built from a list keeps.
    enum class RepeatedKey { keepFirst, keepLast };

    SortedKeyMap() = default;
    // As std::map's: of repeated keys the first stays.
    SortedKeyMap(std::initializer_list<value_type> members)
        : SortedKeyMap(std::vector<value_type>(members), RepeatedKey::keepFirst)
    {
    }
    // Members in any order; nothing is copied when they arrive sorted, as every encoded object does.
    SortedKeyMap(std::vector<value_type> members, RepeatedKey repeated)
        : m_members(std::move(members))
    {
        if (!isStrictlySorted())
            sortKeeping(repeated);
    }

    iterator begin() noexcept { return m_members.begin(); }
    iterator end() noexcept { return m_members.end(); }
    const_iterator begin() const noexcept { return m_members.begin(); }
    const_iterator end() const noexcept { return m_members.end(); }
    const_iterator cbegin() const noexcept { return m_members.cbegin(); }
    const_iterator cend() const noexcept { return m_members.cend(); }
    size_type size() const noexcept { return m_members.size(); }
    bool empty() const noexcept { return m_members.empty(); }
    void clear() noexcept { m_members.clear(); }

    iterator find(std::string_view key) noexcept
    {
        return begin() + (std::as_const(*this).find(key) - cbegin());
    }
    const_iterator find(std::string_view key) const noexcept
    {
        auto found = lowerBound(key);
        return found != cend() && found->first == key ? found : cend();
    }
    bool contains(std::string_view key) const noexcept { return find(key) != cend(); }
    size_type count(std::string_view key) const noexcept { return contains(key) ? 1 : 0; }

    // Throws std::out_of_range when the key is missing, as std::map::at does.
    Value& at(std::string_view key) { return const_cast<Value&>(std::as_const(*this).at(key)); }
    const Value& at(std::string_view key) const
    {
        auto found = find(key);
        if (found == cend())
            throw std::out_of_range("no member with this key");
        return found->second;
    }

    Value& operator[](std::string_view key) { return try_emplace(key).first->second; }

    template <typename... Arguments>
    std::pair<iterator, bool> try_emplace(std::string_view key, Arguments&&... arguments)
    {
        auto at = begin() + (lowerBound(key) - cbegin());
        if (at != end() && at->first == key)
            return { at, false };
        return { m_members.emplace(at, std::string(key), Value(std::forward<Arguments>(arguments)...)),
            true };
    }
    template <typename Member>
    std::pair<iterator, bool> insert_or_assign(std::string_view key, Member&& value)
    {
        auto [at, inserted] = try_emplace(key, std::forward<Member>(value));
        if (!inserted)
            at->second = std::forward<Member>(value);
        return { at, inserted };
    }
    std::pair<iterator, bool> insert(value_type member)
    {
        return emplace(std::move(member.first), std::move(member.second));
    }
    // Members whose key is already present are left out, as std::map::insert leaves them.
    template <typename InputIterator> void insert(InputIterator first, InputIterator last)
    {
        for (; first != last; ++first)
            try_emplace(first->first, first->second);
    }
    template <typename Member> std::pair<iterator, bool> emplace(std::string_view key, Member&& value)
    {
        return try_emplace(key, std::forward<Member>(value));
    }

    size_type erase(std::string_view key)
    {
        auto found = find(key);
        if (found == end())
            return 0;
        m_members.erase(found);
        return 1;
    }
    iterator erase(const_iterator position) { return m_members.erase(position); }

    // As std::erase_if for std::map: removes the members `remove` holds true for; answers how many.
    template <typename Predicate> friend size_type erase_if(SortedKeyMap& map, Predicate remove)
    {
        return std::erase_if(map.m_members, remove);
    }

    friend bool operator==(const SortedKeyMap& lhs, const SortedKeyMap& rhs)
    {
        return lhs.m_members == rhs.m_members;
    }

private:
    const_iterator lowerBound(std::string_view key) const noexcept
    {
        return std::lower_bound(cbegin(), cend(), key, [](const value_type& member, std::string_view wanted) {
            return std::string_view(member.first) < wanted;
        });
    }

    bool isStrictlySorted() const noexcept
    {
        return std::adjacent_find(m_members.begin(), m_members.end(),
                   [](const value_type& lhs, const value_type& rhs) { return !(lhs.first < rhs.first); })
            == m_members.end();
    }

    void sortKeeping(RepeatedKey repeated)
    {
        std::stable_sort(m_members.begin(), m_members.end(),
            [](const value_type& lhs, const value_type& rhs) { return lhs.first < rhs.first; });
        // The stable sort leaves repeated keys in their order of arrival; the kept one moves to the front.
        auto sameKey = [](const value_type& lhs, const value_type& rhs) { return lhs.first == rhs.first; };
        if (repeated == RepeatedKey::keepLast) {
            for (auto run = m_members.begin(); run != m_members.end();) {
                auto runEnd = std::find_if_not(
                    run, m_members.end(), [&](const value_type& member) { return sameKey(member, *run); });
                if (runEnd - run > 1)
                    std::swap(*run, *(runEnd - 1));
                run = runEnd;
            }
        }
        m_members.erase(std::unique(m_members.begin(), m_members.end(), sameKey), m_members.end());
    }

    std::vector<value_type> m_members;
};

}
